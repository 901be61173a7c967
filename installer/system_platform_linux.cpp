// Resources, running applications and opening applications on Linux, through /proc and fork/exec.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "bundle_info.h"
#include "paths.h"
#include "system_platform.h"

namespace {

std::optional<std::string> readLink(const std::string& path) {
  char buffer[4096];
  ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

bool isNumeric(const char* name) {
  if (!*name) return false;
  for (; *name; ++name)
    if (*name < '0' || *name > '9') return false;
  return true;
}

// Starts exe in a session of its own, not a child of ours; the error text when exec failed.
std::optional<std::string> spawnDetached(const std::string& exe) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return std::string("couldn't start \"") + exe + "\": " + std::strerror(errno);
  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    return std::string("couldn't start \"") + exe + "\": " + std::strerror(err);
  }
  if (child == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild == 0) {
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (::chdir("/") != 0) {
      }
      ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      int err = errno;
      if (::write(report[1], &err, sizeof err) < 0) {
      }
      ::_exit(127);
    }
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) return std::string("couldn't start \"") + exe + "\": " + std::strerror(err);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string("couldn't start \"") + exe + "\"";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> SystemPlatform::resourceFolder(const std::string& name) {
  // Off a platform bundle, the resources lie next to the executable.
  auto exe = readLink("/proc/self/exe");
  if (!exe) return std::nullopt;
  std::string path = paths::join(paths::parent(*exe), name);
  if (!fileExists(path)) return std::nullopt;
  return path;
}

std::vector<RunningApplication> SystemPlatform::runningApplications() {
  std::vector<RunningApplication> apps;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return apps;
  std::map<std::string, std::optional<std::string>> identifiers;
  while (dirent* entry = ::readdir(proc.get())) {
    if (!isNumeric(entry->d_name)) continue;
    // Exiting processes and other users' processes have no readable link: not ours to count.
    auto exe = readLink(std::string("/proc/") + entry->d_name + "/exe");
    if (!exe) continue;
    constexpr std::string_view deleted = " (deleted)";
    if (exe->size() >= deleted.size() && exe->compare(exe->size() - deleted.size(), deleted.size(), deleted) == 0)
      continue;
    auto bundlePath = bundle::bundleOfExecutable(*exe);
    if (!bundlePath) continue;
    auto known = identifiers.find(*bundlePath);
    if (known == identifiers.end())
      known = identifiers.emplace(*bundlePath, bundle::infoString(*this, *bundlePath, "CFBundleIdentifier")).first;
    apps.push_back({known->second, *bundlePath});
  }
  return apps;
}

void SystemPlatform::openApplication(const std::string& appPath,
                                     std::function<void(std::optional<std::string> error)> handler) {
  if (!fileExists(appPath)) {
    handler("there is no application at \"" + appPath + "\"");
    return;
  }
  auto name = bundle::infoString(*this, appPath, "CFBundleExecutable");
  if (!name || name->empty() || name->find('/') != std::string::npos || *name == "." || *name == "..") {
    handler("the application \"" + appPath + "\" names no executable");
    return;
  }
  std::string exe = paths::join(appPath, "Contents/MacOS/" + *name);
  if (::access(exe.c_str(), X_OK) != 0) {
    handler("the application \"" + appPath + "\" has no executable \"" + *name + "\"");
    return;
  }
  handler(spawnDetached(exe));
}
