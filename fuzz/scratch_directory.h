#pragma once

#include <string>

namespace tarvelo::fuzz {

// A private directory for the files one fuzzing process writes: in /dev/shm when it
// is there (fast), else in the system's temporary directory. Made on first use and
// removed when the process exits normally.
const std::string& ScratchDirectory();

// Names of the entries the scratch directory holds, sorted.
std::string ScratchEntries();

}  // namespace tarvelo::fuzz
