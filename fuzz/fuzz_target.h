#pragma once

#include <cstddef>
#include <cstdint>

// The entry point every fuzz target defines. Built with libFuzzer it is driven by the
// fuzzer; built with replay_main.cpp it replays a corpus under CTest.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
