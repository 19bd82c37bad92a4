#pragma once

#include <cstddef>
#include <cstdint>

#include "convert/decode_source.h"

namespace tarvelo {

// Copies `text` into `out` (capacity `size`), truncating and always terminating.
// Does nothing when `out` is null or `size` is 0.
void CopyText(const char* text, char* out, size_t size) noexcept;

// The system's message for an errno value, copied as CopyText does. Thread-safe.
void CopyErrorText(int error_number, char* out, size_t size) noexcept;

}  // namespace tarvelo

namespace tarvelo {

// The decoder's terse reason (e.g. "outofdata", "bad huffman code") for a source of
// the named format ("PNG"; "unknown" when none was recognised) put in plain words on
// one line, into `out` as CopyText copies: "file ends early", "corrupt JPEG data
// (bad huffman code)". A null or empty reason gives "the decoder could not read the
// FORMAT data".
void DescribeDecoderFailure(const char* format_name, const char* terse_reason, char* out,
                            size_t size) noexcept;

}  // namespace tarvelo

namespace tarvelo {

// Why a source was not decoded, as one line into `out` (as CopyText copies): "out of
// memory", the size limit naming its cap, the system's message for an errno, the reason as it is, or the
// decoder's reason for the source's `format` in plain words (see DescribeDecoderFailure).
void CopySourceFailure(const SourceFailure& failure, SourceFormat format, char* out, size_t size) noexcept;

// "image exceeds the decoded-size limit (N pixels)" for a cap of N pixels, into
// `out` as CopyText copies.
void DescribeSizeLimit(uint64_t max_pixels, char* out, size_t size) noexcept;

}  // namespace tarvelo
