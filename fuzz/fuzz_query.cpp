// Fuzz target: airport queries at the real plug-in, each reply compared with the one the fixed index owes.
#include "checks.h"

static cvhtfuzz::HostedPlugin *gHost;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gHost = cvhtfuzz::StartHostOrExit("fuzz_query");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  cvhtfuzz::AbortOnFinding("fuzz_query", gHost->RunQueries(data, size));
  return 0;
}
