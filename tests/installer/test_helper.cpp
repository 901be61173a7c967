// A fake X-Plane program for the process tests.
//   (no arguments)  as a launched X-Plane: writes "launched" beside itself with lines for its working
//                   folder, its standard input and output, and whether it leads its own session
//   sleep           stays alive until killed (at most 60 s)
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

int main(int argc, char**) {
  if (argc > 1) return sleep(60);
  std::error_code ec;
  fs::path marker = fs::read_symlink("/proc/self/exe", ec).parent_path() / "launched";
  FILE* out = ec ? nullptr : std::fopen(marker.c_str(), "w");
  if (!out) return 1;
  std::fprintf(out, "%s\n%s\n%s\n%s\n", fs::current_path(ec).c_str(), fs::read_symlink("/proc/self/fd/0", ec).c_str(),
               fs::read_symlink("/proc/self/fd/1", ec).c_str(), getsid(0) == getpid() ? "own session" : "joined");
  std::fclose(out);
  return 0;
}
