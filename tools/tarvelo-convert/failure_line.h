#pragma once

#include <string>

namespace tarvelo::cli {

// "tarvelo-convert: <file>: <reason>\n". Control characters (a newline in a file
// name, say) become '?' so that every failure stays exactly one line.
std::string FailureLine(const std::string& file, const std::string& reason);

}  // namespace tarvelo::cli
