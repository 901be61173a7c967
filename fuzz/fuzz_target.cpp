// Fuzz target fuzz_<CVHT_FUZZ_KIND>, one binary per kind: any bytes as an apt.dat file read into the airport
// index, as datagrams at the real plug-in's UDP port between frames of the simulated host, or as airport queries
// whose replies are compared with those the fixed index owes.
#include "checks.h"

static cvhtfuzz::HostedPlugin *gHost;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (std::string(CVHT_FUZZ_KIND) != "apt") gHost = cvhtfuzz::StartHostOrExit("fuzz_" CVHT_FUZZ_KIND);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  cvhtfuzz::AbortOnFinding("fuzz_" CVHT_FUZZ_KIND, cvhtfuzz::CheckInput(CVHT_FUZZ_KIND, gHost, data, size));
  return 0;
}
