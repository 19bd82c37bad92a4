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
  TARVELO_STATUS_INVALID_ARGUMENT = 5        /* NULL or over-long path, unknown layout */
} TarveloStatus;

/*
 * Converts the image at `source` (UTF-8 path; any format the decoder reads) into
 * `destination` (UTF-8 path) in the given layout.
 *
 * `detail` may be NULL. Otherwise it receives a zero-terminated one-line
 * explanation, truncated to `detail_size` bytes, e.g. the decoder's reason
 * ("can't fopen", "bad huffman code"), the input guard's ("JPEG Huffman table
 * counts exceed 256", "image exceeds the decoded-size limit"; SECURITY.md lists
 * them) or the system's error text ("No space left on device"); it is set to ""
 * when there is nothing to add.
 *
 * Sources are checked before they are decoded: malformed files on which the decoder
 * would misbehave, images over 2^28 pixels (2^26 on 32-bit builds), sources that
 * are not regular files and sources that change while being read are refused with
 * TARVELO_STATUS_SOURCE_UNREADABLE.
 *
 * On Windows the paths are UTF-8 as well and may name files that the ANSI code
 * page cannot represent.
 *
 * Thread safety: calls on different threads share nothing; the detail buffer is
 * the caller's. A conversion of a large image (16 MiB or more of decoded pixels or
 * of output) runs short-lived threads of its own (Linux: one that maps the
 * decoder's buffers ahead of it; every platform: one that writes the file while
 * the pixels are converted); they end before the call returns.
 */
TARVELO_API TarveloStatus TARVELO_CALL TarveloConvert(const char* source, const char* destination,
                                                      TarveloLayout layout, char* detail, size_t detail_size);

/*
 * A short English message for a status, e.g. "source unreadable". Never NULL; an
 * unknown value gives "unknown status". The string is static: do not free it.
 */
TARVELO_API const char* TARVELO_CALL TarveloStatusMessage(TarveloStatus status);

#ifdef __cplusplus
}
#endif

#endif /* TARVELO_CONVERT_H */
