#pragma once

#include "platform/file_system.h"

namespace tarvelo {

// Why a write did not produce the destination. The writer's own result stays 1/0
// (written or not); this tells callers that want to know which step failed.
enum class WriteFailureKind {
  kNone,
  kOpenFailed,   // destination or its temporary file could not be created
  kWriteFailed,  // a write, flush, close or the final rename failed
  kTooLarge,     // the image does not fit the layout's header fields
};

using platform::kPipeWithoutReader;

struct WriteFailure {
  WriteFailureKind kind = WriteFailureKind::kNone;
  int error_number = 0;  // errno of the failing call, 0 when none applies
};

}  // namespace tarvelo
