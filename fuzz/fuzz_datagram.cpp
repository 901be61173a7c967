// Fuzz target: any datagrams at the real plug-in's UDP port, between and followed by frames of the simulated host.
#include "checks.h"

namespace {
cvhtfuzz::HostedPlugin *gHost;  // started once per process and never stopped: the fuzzer exits with it loaded
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gHost = new cvhtfuzz::HostedPlugin;
  if (!gHost->Error().empty()) {
    std::fprintf(stderr, "fuzz_datagram: %s\n", gHost->Error().c_str());
    std::exit(2);
  }
  // At exit the plug-in is stopped, so its scan thread is joined, and stays loaded until the process ends.
  std::atexit([] {
    gHost->Stop();
    std::error_code ec;
    std::filesystem::remove_all(gHost->SystemPath(), ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string err = gHost->RunDatagrams(data, size);
  if (!err.empty()) {
    std::fprintf(stderr, "fuzz_datagram: %s\n", err.c_str());
    std::abort();
  }
  return 0;
}
