@ What gcc's ARM EABI code calls and Windows CE provides under other names or not
@ at all. ARMv4: returns are `mov pc, lr` or a pop into pc, never BX.
	.text
	.align 2

@ COREDLL's division helpers take the divisor first and return the quotient in r0
@ and the remainder in r1.
	.global __aeabi_idiv
	.global __aeabi_idivmod
__aeabi_idiv:
__aeabi_idivmod:
	mov r2, r0
	mov r0, r1
	mov r1, r2
	b __rt_sdiv

	.global __aeabi_uidiv
	.global __aeabi_uidivmod
__aeabi_uidiv:
__aeabi_uidivmod:
	mov r2, r0
	mov r0, r1
	mov r1, r2
	b __rt_udiv

@ 64-bit division: quotient in r0:r1, remainder in r2:r3, by the C routines of
@ wince_runtime.cpp (COREDLL's 64-bit helpers are not bound by name here).
	.macro divide64 name, routine
	.global \name
\name:
	stmfd sp!, {r4, lr}
	sub sp, sp, #16
	add r12, sp, #8
	str r12, [sp]
	bl \routine
	ldr r2, [sp, #8]
	ldr r3, [sp, #12]
	add sp, sp, #16
	ldmfd sp!, {r4, pc}
	.endm
	divide64 __aeabi_uldivmod, TarveloUnsignedDivide64
	divide64 __aeabi_ldivmod, TarveloSignedDivide64

@ Soft-float helpers: the same operands and results under COREDLL's names.
	.macro forward name, target
	.global \name
\name:
	b \target
	.endm
	forward __aeabi_fadd, __adds
	forward __aeabi_fsub, __subs
	forward __aeabi_fmul, __muls
	forward __aeabi_fdiv, __divs
	forward __aeabi_fcmpgt, __gts
	forward __aeabi_fcmplt, __lts
	forward __aeabi_fcmpge, __ges
	forward __aeabi_fcmple, __les
	forward __aeabi_fcmpeq, __eqs
	forward __aeabi_f2iz, __stoi
	forward __aeabi_f2uiz, __stou
	forward __aeabi_i2f, __itos
	forward __aeabi_ui2f, __utos
	forward __aeabi_f2d, __stod
	forward __aeabi_d2f, __dtos
	forward __aeabi_dadd, __addd
	forward __aeabi_dsub, __subd
	forward __aeabi_dmul, __muld
	forward __aeabi_ddiv, __divd
	forward __aeabi_d2iz, __dtoi
	forward __aeabi_i2d, __itod
	forward __aeabi_dcmpgt, __gtd
	forward __aeabi_dcmplt, __ltd

@ Atomics: ARMv4 has no exclusive loads; COREDLL's InterlockedCompareExchange
@ (destination, exchange, comparand) returns the old value.
	.global __sync_val_compare_and_swap_4
__sync_val_compare_and_swap_4:
	mov r3, r1
	mov r1, r2
	mov r2, r3
	b InterlockedCompareExchange

	.global __sync_add_and_fetch_4
__sync_add_and_fetch_4:
	stmfd sp!, {r4, r5, r6, lr}
	mov r4, r0
	mov r5, r1
1:	ldr r6, [r4]
	mov r0, r4
	add r1, r6, r5
	mov r2, r6
	bl InterlockedCompareExchange
	cmp r0, r6
	bne 1b
	add r0, r6, r5
	ldmfd sp!, {r4, r5, r6, pc}

	forward __sync_val_compare_and_swap_1, TarveloCompareAndSwapByte
	forward __atomic_load_8, TarveloAtomicLoad64
	forward __atomic_store_8, TarveloAtomicStore64

@ CE's processors of this build are single-core: ordering needs no barrier.
	.global __sync_synchronize
__sync_synchronize:
	mov pc, lr
