// Fuzz target: any bytes as an apt.dat file, read into the airport index, whose invariants are then checked.
#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  cvhtfuzz::AbortOnFinding("fuzz_apt", cvhtfuzz::CheckAptFile(data, size));
  return 0;
}
