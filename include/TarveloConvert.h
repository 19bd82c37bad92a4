/*
 * TarveloConvert.h: conversions that say what happened.
 *
 * The frozen exports BMP2TGA and TGA2BMP always return 999. This API performs the
 * same conversion with UTF-8 paths and an explicit layout, and returns a status
 * plus, optionally, a one-line detail (the decoder's reason, the system's error
 * text). It has exactly the same file-safety guarantees: on any failure no file is
 * created and an existing destination keeps its bytes.
 */
#ifndef TARVELO_CONVERT_H
#define TARVELO_CONVERT_H

#include "TarveloImageTGA.h"

/* The version of these headers: TARVELO_VERSION_MAJOR, _MINOR, _PATCH, _BUILD and
 * TARVELO_VERSION_STRING ("1.0.0.1"). TarveloLibraryVersion() gives the version of
 * the library actually loaded, which may be newer. */
#include "TarveloVersionNumbers.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Output layouts. */
typedef enum TarveloLayout {
  TARVELO_LAYOUT_TGA = 0, /* uncompressed true-colour TGA, 24 or 32 bits */
  TARVELO_LAYOUT_BMP = 1  /* uncompressed 24-bit BMP */
} TarveloLayout;

/* Results of TarveloConvert. The numeric values are stable. */
typedef enum TarveloStatus {
  TARVELO_STATUS_CONVERTED = 0,              /* destination written in full */
  TARVELO_STATUS_SOURCE_UNREADABLE = 1,      /* missing, unreadable, corrupt, unsupported or refused source */
  TARVELO_STATUS_DESTINATION_UNOPENABLE = 2, /* destination (or its temporary file) could not be created */
  TARVELO_STATUS_WRITE_FAILED = 3,           /* a write, flush, close or the final rename failed */
  TARVELO_STATUS_IMAGE_TOO_LARGE = 4,        /* TGA side over 65535, or BMP file size over 32 bits */
  TARVELO_STATUS_INVALID_ARGUMENT = 5,       /* NULL or over-long path, unknown layout, bad options */
  TARVELO_STATUS_OUT_OF_MEMORY = 6           /* an allocation the decoder needed was refused (detail
                                                "out of memory"); the source may be fine */
} TarveloStatus;

/*
 * Converts the image at `source` (UTF-8 path; any format the decoder reads) into
 * `destination` (UTF-8 path) in the given layout.
 *
 * `detail` may be NULL. Otherwise it receives a zero-terminated one-line
 * explanation, truncated to `detail_size` bytes, e.g. why the source
 * could not be read ("No such file or directory", "file ends early"), the input guard's ("JPEG Huffman table
 * counts exceed 256", "image exceeds the decoded-size limit"; SECURITY.md lists
 * them) or the system's error text ("No space left on device"); it is set to ""
 * when there is nothing to add.
 *
 * Sources are checked before they are decoded: malformed files on which the decoder
 * would misbehave, images over 2^28 pixels (2^26 on 32-bit builds), sources that
 * are not regular files and sources that change while being read are refused with
 * TARVELO_STATUS_SOURCE_UNREADABLE. A pipe, a device or a socket is refused at once
 * ("source is not a regular file"), never waited on.
 *
 * Destinations: a symbolic link is followed only where the kernel's link protection
 * would follow it (a link in a sticky directory that everyone may write, like /tmp,
 * must belong to the caller or to the directory's owner); any other is refused with
 * TARVELO_STATUS_DESTINATION_UNOPENABLE, "Permission denied". A pipe that nobody
 * reads is refused at once ("destination is a pipe with no reader").
 *
 * On Windows the paths are UTF-8 as well and may name files that the ANSI code
 * page cannot represent.
 *
 * Thread safety: calls on different threads share nothing; the detail buffer is
 * the caller's. The call starts no thread and takes no lock (as BMP2TGA and
 * TGA2BMP); TarveloConvertWithOptions can allow helper threads.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvert(const char* source, const char* destination,
                                                      TarveloLayout layout, char* detail, size_t detail_size);

/*
 * A short English message for a status, e.g. "source unreadable". Never NULL; an
 * unknown value gives "unknown status". The string is static: do not free it.
 */
TARVELO_API const char* TARVELO_CALL TarveloStatusMessage(TarveloStatus status);

/*
 * The loaded library's version as "major.minor.patch.build", e.g. "1.0.0.1" (the
 * same text as TarveloGetVersionText). Static; never NULL. Compare with
 * TARVELO_VERSION_STRING to detect a header/library mismatch.
 */
TARVELO_API const char* TARVELO_CALL TarveloLibraryVersion(void);

/* ------------------------------------------------------------------------------
 * Programs' entry points: raw pixels, bytes in memory, write callbacks, options.
 *
 * Common rules for every call below:
 * - The result is a TarveloStatus; `detail` (may be NULL) receives a one-line
 *   reason as for TarveloConvert, "" when there is nothing to add.
 * - `options` may be NULL: the defaults (no helper threads, the default decoded-
 *   size cap). With default options a call starts no thread and takes no lock.
 * - Sources in memory are checked exactly as files are: the input guard and the
 *   decoded-size cap apply, and a refusal is TARVELO_STATUS_SOURCE_UNREADABLE.
 *   The library only reads `data` and keeps no pointer to it after the call.
 * - A destination path gets the file guarantees of TarveloConvert: bytes go to a
 *   temporary file that replaces the destination only when complete; on failure
 *   nothing is created and an existing destination keeps its bytes.
 * - A write callback receives the file's bytes in order, in blocks of any size
 *   (never 0), on the calling thread (or, with allow_threads, possibly on a helper
 *   thread, one call at a time). Nothing is written before the image is known to
 *   fit the layout. When the callback returns 0 no further call is made and the
 *   result is TARVELO_STATUS_WRITE_FAILED; the bytes already given stay given.
 * ------------------------------------------------------------------------------ */

/*
 * Receives `size` output bytes at `data` (valid only during the call). Returns
 * nonzero when it took them all; 0 stops the write (TARVELO_STATUS_WRITE_FAILED).
 */
typedef int(TARVELO_CALL* TarveloWriteFunc)(void* context, const void* data, size_t size);

/*
 * Options of one call. Versioned by its size: always start from TarveloInitOptions,
 * then change fields; a later library that adds fields still accepts an older, smaller
 * structure (the missing fields take their defaults). A struct_size smaller than the
 * first version's, or larger than this library knows with nonzero bytes beyond what it
 * knows, is TARVELO_STATUS_INVALID_ARGUMENT.
 */
typedef struct TarveloOptions {
  size_t struct_size;          /* sizeof(TarveloOptions): set by TarveloInitOptions */
  int allow_threads;           /* 0 (default): the call starts no thread. Nonzero: a large
                                  image (16 MiB or more of decoded pixels or of output)
                                  may use short-lived helper threads (Linux: one that maps
                                  the decoder's buffers ahead of it; every platform: one that
                                  writes while pixels are converted); they end before the
                                  call returns. Output bytes are identical either way. */
  uint64_t max_decoded_pixels; /* largest source to decode, width * height; 0 (default):
                                  the library's cap, 2^28 pixels (2^26 on 32-bit builds).
                                  It may be raised up to what the decoder can address,
                                  2^29 - 1 pixels (2^28 - 65537 on 32-bit builds); a larger
                                  value is taken as that. The decoder's working memory
                                  stays under 16 bytes per pixel of the cap (plus 1 MiB):
                                  an image that would need more is refused as over the
                                  cap. A refusal's detail names the cap in force:
                                  "image exceeds the decoded-size limit (N pixels)". */
} TarveloOptions;

/* Fills `*options` with the defaults and sets struct_size. NULL is ignored. */
TARVELO_API void TARVELO_CALL TarveloInitOptions(TarveloOptions* options);

/* What TarveloReadInfo reports. */
typedef struct TarveloImageInfo {
  int width;          /* pixels, > 0 */
  int height;         /* pixels, > 0 */
  int channels;       /* 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA: what a conversion decodes */
  const char* format; /* static: "JPEG", "PNG", "BMP", "GIF", "PSD", "PIC", "PNM", "HDR" or "TGA" */
} TarveloImageInfo;

/*
 * As TarveloConvert, with options (NULL: defaults, the same as TarveloConvert).
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvertWithOptions(const char* source, const char* destination,
                                                                 TarveloLayout layout,
                                                                 const TarveloOptions* options, char* detail,
                                                                 size_t detail_size);

/*
 * Converts the image file at `source` (UTF-8 path) and hands the output file's
 * bytes to `write` (with `context`) instead of writing a file.
 * NULL source or write: TARVELO_STATUS_INVALID_ARGUMENT, and `write` is never called.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvertToFunc(const char* source, TarveloLayout layout,
                                                            TarveloWriteFunc write, void* context,
                                                            const TarveloOptions* options, char* detail,
                                                            size_t detail_size);

/*
 * Converts the encoded image held in memory (`size` bytes at `data`, any format the
 * decoder reads) into the file `destination` (UTF-8 path).
 * NULL data (with any size) or destination: TARVELO_STATUS_INVALID_ARGUMENT. A size of
 * 0, or over 2^31 - 1 bytes (the decoder's limit), is TARVELO_STATUS_SOURCE_UNREADABLE.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvertMemory(const void* data, size_t size,
                                                            const char* destination, TarveloLayout layout,
                                                            const TarveloOptions* options, char* detail,
                                                            size_t detail_size);

/* As TarveloConvertMemory, handing the output to `write` instead of a file. */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvertMemoryToFunc(const void* data, size_t size,
                                                                  TarveloLayout layout,
                                                                  TarveloWriteFunc write, void* context,
                                                                  const TarveloOptions* options, char* detail,
                                                                  size_t detail_size);

/*
 * As TarveloConvertMemory, returning the output file in a new buffer: on
 * TARVELO_STATUS_CONVERTED `*output` points to `*output_size` bytes that the caller
 * releases with TarveloFree. On any other status `*output` is NULL and `*output_size`
 * 0. NULL output or output_size: TARVELO_STATUS_INVALID_ARGUMENT. The buffer is
 * allocated once, at the output's exact size.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvertMemoryToBuffer(const void* data, size_t size,
                                                                    TarveloLayout layout, void** output,
                                                                    size_t* output_size,
                                                                    const TarveloOptions* options,
                                                                    char* detail, size_t detail_size);

/*
 * Writes pixels the caller holds: `width` x `height` pixels, `channels` bytes each
 * (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA; 8 bits per channel, interleaved), top row
 * first, each row starting `row_stride` bytes after the previous one (0: rows packed,
 * width * channels). The pixels are converted exactly as decoded ones are (grey
 * repeated, BMP flattening against magenta; see TarveloImageTGA.h).
 * Width or height below 1, channels outside 1-4, a row_stride below width * channels,
 * NULL pixels or destination, an unknown layout: TARVELO_STATUS_INVALID_ARGUMENT.
 * A side over 65535 (TGA) or a BMP file over 4 GiB: TARVELO_STATUS_IMAGE_TOO_LARGE.
 * Only width * channels bytes of each row are read. The pixels are read, never
 * changed; they must stay valid and unchanged during the call.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloWritePixels(const void* pixels, int width, int height,
                                                          int channels, size_t row_stride,
                                                          const char* destination, TarveloLayout layout,
                                                          const TarveloOptions* options, char* detail,
                                                          size_t detail_size);

/* As TarveloWritePixels, handing the output to `write` instead of a file. */
TARVELO_API TarveloStatus TARVELO_CALL TarveloWritePixelsToFunc(const void* pixels, int width, int height,
                                                                int channels, size_t row_stride,
                                                                TarveloLayout layout, TarveloWriteFunc write,
                                                                void* context, const TarveloOptions* options,
                                                                char* detail, size_t detail_size);

/* As TarveloWritePixels, returning a new buffer as TarveloConvertMemoryToBuffer does. */
TARVELO_API TarveloStatus TARVELO_CALL TarveloWritePixelsToBuffer(
    const void* pixels, int width, int height, int channels, size_t row_stride, TarveloLayout layout,
    void** output, size_t* output_size, const TarveloOptions* options, char* detail, size_t detail_size);

/* Releases a buffer from a *ToBuffer call. NULL is ignored. Use this, not free():
 * on Windows the library and the caller may use different C runtimes. */
TARVELO_API void TARVELO_CALL TarveloFree(void* buffer);

/*
 * Reads the size, channel count and format of the image file at `source` (UTF-8
 * path) without decoding its pixels. The source is checked as a conversion checks it:
 * a source the conversion would refuse (including one over the default decoded-size
 * cap) gives TARVELO_STATUS_SOURCE_UNREADABLE and leaves `*info` zeroed.
 * NULL source or info: TARVELO_STATUS_INVALID_ARGUMENT.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloReadInfo(const char* source, TarveloImageInfo* info,
                                                       char* detail, size_t detail_size);

/* As TarveloReadInfo, for an encoded image held in memory (rules of TarveloConvertMemory). */
TARVELO_API TarveloStatus TARVELO_CALL TarveloReadInfoMemory(const void* data, size_t size,
                                                             TarveloImageInfo* info, char* detail,
                                                             size_t detail_size);

/*
 * The layout a name asks for, case-insensitively. TARVELO_LAYOUT_TGA for the
 * layout's name ("tga", "TGA"), its extension alone (".tga") or a file name or path
 * whose extension, after its last dot, it is ("x.tga", "out/Photo.TGA");
 * TARVELO_LAYOUT_BMP likewise for "bmp", ".bmp", "x.bmp". Anything else ("x.tga.png",
 * "dir.tga/x", "tga.", "x.tgaa"), or a NULL argument, gives
 * TARVELO_STATUS_INVALID_ARGUMENT and leaves `*layout` unchanged. The tool and the Python package read layout
 * names through this call.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloLayoutFromName(const char* file_name, TarveloLayout* layout);

#ifdef __cplusplus
}
#endif

#endif /* TARVELO_CONVERT_H */
