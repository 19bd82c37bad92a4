/*
 * TarveloConvert.h: conversions that say what happened.
 *
 * The frozen exports BMP2TGA and TGA2BMP always return 999. This API performs the
 * same conversion with UTF-8 paths and an explicit layout, and returns a status
 * plus, optionally, a one-line detail (the decoder's reason, the system's error
 * text). It has exactly the same file-safety guarantees: on any failure no file is
 * created and an existing destination keeps its bytes, except one that can only be
 * overwritten in place (another user's file in a sticky directory, for one), which
 * an I/O error part way leaves mixed (the README's failure table).
 *
 * The image is converted as stored: EXIF orientation is not applied and an
 * animated GIF gives its first frame. BMP keeps no alpha: RGBA is flattened against
 * magenta, while grey+alpha loses its alpha (transparent pixels show their grey).
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
 * explanation, truncated to `detail_size` bytes (it is never longer than a
 * TarveloResult's detail, 255 characters), e.g. why the source
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
 * TGA2BMP); TarveloConvertImage can allow helper threads. TarveloConvert is
 * TarveloConvertImage from a file to a file with default options.
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
 * Programs' entry: one call over a source and an output, each given once.
 *
 * A source is a file, encoded bytes in memory or pixels the caller holds; an output
 * is a file, a write function or a new buffer. Any source goes to any output:
 *
 *   TarveloSource source = {0};   (C++: {}; then set the fields of its kind)
 *   source.kind = TARVELO_SOURCE_MEMORY;
 *   source.data = bytes; source.size = size;
 *   TarveloOutput output = {0};
 *   output.kind = TARVELO_OUTPUT_BUFFER;
 *   TarveloResult result;
 *   if (TarveloConvertImage(&source, &output, TARVELO_LAYOUT_TGA, NULL, &result) == TARVELO_STATUS_CONVERTED)
 * { use(output.buffer, output.size); TarveloFree(output.buffer);
 *   }
 *
 * Common rules:
 * - `result` may be NULL. Otherwise it receives the status, the system's error
 *   number (errno) when a system call failed (0 otherwise), and a one-line detail as
 *   for TarveloConvert ("" when there is nothing to add).
 * - `options` may be NULL: the defaults (no helper threads, the default decoded-
 *   size cap). With default options a call starts no thread and takes no lock.
 * - Sources in memory are checked exactly as files are: the input guard and the
 *   decoded-size cap apply, and a refusal is TARVELO_STATUS_SOURCE_UNREADABLE.
 *   The library only reads the caller's bytes and keeps no pointer to them.
 * - A file output gets the file guarantees of TarveloConvert: bytes go to a
 *   temporary file that replaces the destination only when complete; on failure
 *   nothing is created and an existing destination keeps its bytes.
 * - A write function receives the file's bytes in order, in blocks of any size
 *   (never 0), on the calling thread (or, with allow_threads, possibly on a helper
 *   thread, one call at a time). Nothing is written before the image is known to
 *   fit the layout. When it returns 0 no further call is made and the result is
 *   TARVELO_STATUS_WRITE_FAILED; the bytes already given stay given.
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
  /* NULL (default), or called once with `before_change_context` for a file output,
     just before the destination itself first changes: before the complete file is
     given its name or moved over the old one, or before the first byte is written
     in place or to a special file. Decoding is over by then; what follows is the
     file system's work, which a caller's time limit should not cut short (an
     in-place overwrite cut short leaves a mixed file). Not called when the call
     fails before that point. */
  void(TARVELO_CALL* before_change)(void* context);
  void* before_change_context;
} TarveloOptions;

/* Fills `*options` with the defaults and sets struct_size. NULL is ignored. */
TARVELO_API void TARVELO_CALL TarveloInitOptions(TarveloOptions* options);

/* What a call reports besides its status. */
typedef struct TarveloResult {
  TarveloStatus status; /* the call's result */
  int error_number;     /* errno of the system call that failed ("No such file or directory":
                           ENOENT); 0 when the failure was not the system's */
  char detail[256];     /* one line, zero-terminated; "" when there is nothing to add */
} TarveloResult;

typedef enum TarveloSourceKind {
  TARVELO_SOURCE_FILE = 0,   /* `path`: a file (UTF-8 path), any format the decoder reads */
  TARVELO_SOURCE_MEMORY = 1, /* `data`, `size`: an encoded image in memory */
  TARVELO_SOURCE_PIXELS = 2  /* `data`, `width`, `height`, `channels`, `row_stride` */
} TarveloSourceKind;

/*
 * What a call reads; only the fields of its kind are read.
 *
 * MEMORY: NULL data is TARVELO_STATUS_INVALID_ARGUMENT; a size of 0, or over
 * 2^31 - 1 bytes (the decoder's limit), is TARVELO_STATUS_SOURCE_UNREADABLE.
 *
 * PIXELS: `width` x `height` pixels, `channels` bytes each (1 grey, 2 grey+alpha,
 * 3 RGB, 4 RGBA; 8 bits per channel, interleaved), top row first, each row starting
 * `row_stride` bytes after the previous one (0: rows packed, width * channels). They
 * are converted exactly as decoded ones are (grey repeated, BMP flattening against
 * magenta; see TarveloImageTGA.h). Width or height below 1, channels outside 1-4, a
 * row_stride below width * channels or NULL data: TARVELO_STATUS_INVALID_ARGUMENT.
 * Only width * channels bytes of each row are read, never changed; they must stay
 * valid and unchanged during the call.
 */
typedef struct TarveloSource {
  TarveloSourceKind kind;
  const char* path;
  const void* data;
  size_t size;
  int width;
  int height;
  int channels;
  size_t row_stride;
} TarveloSource;

typedef enum TarveloOutputKind {
  TARVELO_OUTPUT_FILE = 0,  /* `path`: the destination file (UTF-8 path) */
  TARVELO_OUTPUT_FUNC = 1,  /* `write` with `context`: the file's bytes, in order */
  TARVELO_OUTPUT_BUFFER = 2 /* the library sets `buffer` and `size` */
} TarveloOutputKind;

/*
 * Where a call writes; only the fields of its kind are read. BUFFER: on
 * TARVELO_STATUS_CONVERTED `buffer` points to `size` bytes, allocated once at the
 * file's exact size, that the caller releases with TarveloFree; on any other status
 * `buffer` is NULL and `size` 0. A NULL path or write function is
 * TARVELO_STATUS_INVALID_ARGUMENT, and the function is never called.
 */
typedef struct TarveloOutput {
  TarveloOutputKind kind;
  const char* path;
  TarveloWriteFunc write;
  void* context;
  void* buffer;
  size_t size;
} TarveloOutput;

/* The file name extensions of the formats the decoder reads, each with its dot and
 * followed by a space; what a program that picks image files out of a directory by
 * name should look for (the decoder itself recognises a source by its contents). */
#define TARVELO_SOURCE_EXTENSIONS ".jpg .jpeg .jpe .png .bmp .gif .psd .pic .pnm .ppm .pgm .hdr .tga "

/* What TarveloReadInfo reports. */
typedef struct TarveloImageInfo {
  int width;          /* pixels, > 0 */
  int height;         /* pixels, > 0 */
  int channels;       /* 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA: what a conversion decodes */
  const char* format; /* static: "JPEG", "PNG", "BMP", "GIF", "PSD", "PIC", "PNM", "HDR" or "TGA" */
} TarveloImageInfo;

/*
 * Converts `source` into `output` in `layout`. NULL source or output, an unknown
 * kind or layout: TARVELO_STATUS_INVALID_ARGUMENT. A side over 65535 (TGA) or a BMP
 * file over 4 GiB: TARVELO_STATUS_IMAGE_TOO_LARGE, before anything is written.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvertImage(const TarveloSource* source, TarveloOutput* output,
                                                           TarveloLayout layout,
                                                           const TarveloOptions* options,
                                                           TarveloResult* result);

/* Releases a TARVELO_OUTPUT_BUFFER's buffer. NULL is ignored. Use this, not free():
 * on Windows the library and the caller may use different C runtimes. */
TARVELO_API void TARVELO_CALL TarveloFree(void* buffer);

/*
 * Reads the size, channel count and format of a file or memory source without
 * decoding its pixels. The source is checked as a conversion checks it: a source the
 * conversion would refuse (including one over the default decoded-size cap) gives
 * TARVELO_STATUS_SOURCE_UNREADABLE and leaves `*info` zeroed. NULL source or info,
 * or a pixels source: TARVELO_STATUS_INVALID_ARGUMENT.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloReadInfo(const TarveloSource* source, TarveloImageInfo* info,
                                                       TarveloResult* result);

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

/*
 * A layout's name ("tga") and file extension (".tga"), static text, for layouts 0, 1,
 * ... in turn: TARVELO_STATUS_INVALID_ARGUMENT past the last one (the outputs are then
 * left as they were). Either output may be NULL.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloLayoutNames(TarveloLayout layout, const char** name,
                                                          const char** extension);

#ifdef __cplusplus
}
#endif

#endif /* TARVELO_CONVERT_H */
