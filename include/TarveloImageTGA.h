/*
 * TarveloImageTGA: convert any image file the decoder reads into an uncompressed
 * true-colour TGA file or a 24-bit Windows BMP file.
 *
 * The two exports below are frozen: their names, signatures, calling convention and
 * the constant result 999 never change. New code that needs to know whether a
 * conversion worked uses the status API in TarveloConvert.h instead.
 *
 * Output layouts (all multi-byte fields little-endian, rows stored bottom-up):
 *
 *   TGA, 18-byte header, no image ID, no colour map, no footer
 *   | offset | size | field                | value                               |
 *   |      0 |    1 | image ID length      | 0                                   |
 *   |      1 |    1 | colour-map type      | 0                                   |
 *   |      2 |    1 | image type           | 2 (uncompressed true-colour)        |
 *   |      3 |    5 | colour-map fields    | all 0                               |
 *   |      8 |    4 | x and y origin       | 0, 0                                |
 *   |     12 |    2 | width                | image width (at most 65535)         |
 *   |     14 |    2 | height               | image height (at most 65535)        |
 *   |     16 |    1 | bits per pixel       | 24, or 32 for grey+alpha and RGBA   |
 *   |     17 |    1 | image descriptor     | 0, or 8 (alpha bits) for 32 bits    |
 *   Pixels: blue, green, red[, alpha]; grey is written as three equal bytes.
 *
 *   BMP, 14-byte file header + 40-byte information header, 24 bits per pixel
 *   | offset | size | field                | value                               |
 *   |      0 |    2 | signature            | "BM"                                |
 *   |      2 |    4 | file size            | 54 + (3 * width + width % 4) * height |
 *   |      6 |    4 | reserved             | 0                                   |
 *   |     10 |    4 | pixel data offset    | 54                                  |
 *   |     14 |    4 | info header size     | 40                                  |
 *   |     18 |    4 | width                | image width                         |
 *   |     22 |    4 | height               | image height (positive: bottom-up)  |
 *   |     26 |    2 | planes               | 1                                   |
 *   |     28 |    2 | bits per pixel       | 24                                  |
 *   |     30 |   24 | compression .. colours | all 0                             |
 *   Pixels: blue, green, red; each row padded with width % 4 zero bytes. Alpha is
 *   not stored: RGBA pixels are flattened against magenta (255, 0, 255) with
 *   c' = bg + ((c - bg) * alpha) / 255, the division truncating toward zero;
 *   the alpha of grey+alpha pixels is dropped.
 */
#ifndef TARVELO_IMAGE_TGA_H
#define TARVELO_IMAGE_TGA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
/* The DLL (TarveloImageTGA.def lists its exports, alone) and the library's own
 * tests, linked statically. */
#if defined(TARVELO_BUILDING_LIBRARY) || defined(TARVELO_STATIC_INTERNAL)
#define TARVELO_API
#else
#define TARVELO_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TARVELO_API __attribute__((visibility("default")))
#else
#define TARVELO_API
#endif

/*
 * The calling convention of every export: the C convention (cdecl: the caller
 * removes the arguments; names undecorated, as the .def file gives them). Stated
 * for 32-bit x86 Windows, where hosts and other languages' foreign-function
 * declarations must name it; elsewhere there is only one convention.
 */
#if defined(_WIN32) && !defined(_WIN64) && (defined(_M_IX86) || defined(__i386__))
#define TARVELO_CALL __cdecl
#else
#define TARVELO_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Reads the image at SourcePath, whatever its format (JPEG, PNG, BMP, TGA, GIF,
 * PSD, PIC, PNM, Radiance HDR: the decoder recognises it from the contents, not
 * from the name), and writes it to DestinationPath as an uncompressed TGA file.
 *
 * Paths are zero-terminated wide strings that are only read; either may be NULL.
 * On Linux they are converted to UTF-8 whatever the process locale is; a value
 * that is not a Unicode scalar value becomes '?'. On Windows they are converted
 * to the ANSI code page. A path longer than the platform allows converts nothing.
 *
 * The destination is replaced only when every byte of the new file has been
 * written: on any failure (unreadable source, NULL path, unopenable destination,
 * image too large for the layout, disk full) no file is created and an existing
 * destination keeps its bytes. A destination that is a symbolic link is written
 * through to its target, where the kernel's link protection would follow it (see
 * TarveloConvert.h).
 *
 * Returns 999 in every case. Callers cannot learn of a failure from the result;
 * use TarveloConvert() from TarveloConvert.h for that. Safe to call from several
 * threads at once on different destinations.
 */
TARVELO_API int32_t TARVELO_CALL BMP2TGA(const wchar_t* SourcePath, const wchar_t* DestinationPath);

/*
 * As BMP2TGA, but writes an uncompressed 24-bit Windows BMP file. Returns 999 in
 * every case.
 */
TARVELO_API int32_t TARVELO_CALL TGA2BMP(const wchar_t* SourcePath, const wchar_t* DestinationPath);

#ifdef __cplusplus
}
#endif

#endif /* TARVELO_IMAGE_TGA_H */
