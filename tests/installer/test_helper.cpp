// A small program the installer tests run as another user or as a fake X-Plane executable.
//   (no arguments)           as a launched X-Plane: writes "launched" beside itself with lines
//                            for its working folder, its standard input and output, and whether
//                            it leads its own session; then exits
//   sleep                    stays alive until killed (at most 60 s)
//   install PAYLOAD XPLANE   installs with PAYLOAD as the resource "TAVRO"; prints installOutcome()
//   install-stop PAYLOAD XPLANE  the same, but stops itself (SIGSTOP) once the staging copy is
//                            complete and before the move, so that a test can kill it right there
#include <signal.h>

#include <cstring>

#include "test_support.h"

namespace {

struct PayloadPlatform : SystemPlatform {
  std::string payload;
  bool stopAfterCopy = false;
  std::optional<std::string> resourceFolder(const std::string&) override { return payload; }
  void copyItem(const std::string& from, const std::string& to) override {
    SystemPlatform::copyItem(from, to);
    if (stopAfterCopy) ::raise(SIGSTOP);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    std::error_code ec;
    fs::path marker = fs::read_symlink("/proc/self/exe", ec).parent_path() / "launched";
    FILE* out = ec ? nullptr : std::fopen(marker.c_str(), "w");
    if (!out) return 1;
    std::fprintf(out, "%s\n%s\n%s\n%s\n", fs::current_path(ec).c_str(), fs::read_symlink("/proc/self/fd/0", ec).c_str(),
                 fs::read_symlink("/proc/self/fd/1", ec).c_str(), getsid(0) == getpid() ? "own session" : "joined");
    std::fclose(out);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "sleep") == 0) return sleep(60);
  bool stop = argc == 4 && std::strcmp(argv[1], "install-stop") == 0;
  if (argc == 4 && (stop || std::strcmp(argv[1], "install") == 0)) {
    PayloadPlatform platform;
    platform.payload = argv[2];
    platform.stopAfterCopy = stop;
    testing_support::UsePlatform use(platform);
    std::printf("%s", testing_support::installOutcome(argv[3]).c_str());
    return 0;
  }
  std::fprintf(stderr, "usage: %s [sleep | install[-stop] PAYLOAD XPLANE]\n", argv[0]);
  return 2;
}
