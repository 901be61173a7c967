// Fuzz target: any datagrams at the real plug-in's UDP port, between and followed by frames of the simulated host.
#include "checks.h"

static cvhtfuzz::HostedPlugin *gHost;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gHost = cvhtfuzz::StartHostOrExit("fuzz_datagram");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  cvhtfuzz::AbortOnFinding("fuzz_datagram", gHost->RunDatagrams(data, size));
  return 0;
}
