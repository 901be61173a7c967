// Fuzz target: any bytes as an apt.dat file, read into the airport index, whose invariants are then checked.
#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static cvhtfuzz::AptChecker checker;
  const std::string err = checker.Run(data, size);
  if (!err.empty()) {
    std::fprintf(stderr, "fuzz_apt: %s\n", err.c_str());
    std::abort();
  }
  return 0;
}
