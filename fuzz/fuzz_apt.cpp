// Fuzz target: any bytes as an apt.dat file, read into the airport index, whose invariants are then checked.
#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static cvhtfuzz::AptChecker checker;
  cvhtfuzz::AbortOnFinding("fuzz_apt", checker.Run(data, size));
  return 0;
}
