// The libFuzzer entry point of one target; the build compiles this file once per target with
// TARNWICK_FUZZ_TARGET naming the target's function.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarnwick::fuzz::TARNWICK_FUZZ_TARGET(data, size);
}
