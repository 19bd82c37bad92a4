#include "failure_line.h"

namespace tarvelo::cli {
namespace {

void AppendPrintable(std::string* line, const std::string& text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    line->push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
  }
}

}  // namespace

std::string FailureLine(const std::string& file, const std::string& reason) {
  std::string line = "tarvelo-convert: ";
  AppendPrintable(&line, file);
  line += ": ";
  AppendPrintable(&line, reason);
  line += '\n';
  return line;
}

}  // namespace tarvelo::cli
