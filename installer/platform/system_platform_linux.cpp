// Resources, running programs and starting a program on Linux, through /proc and fork/exec.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "system_platform.h"

namespace {

bool isNumeric(const char* name) {
  if (!*name) return false;
  for (; *name; ++name)
    if (*name < '0' || *name > '9') return false;
  return true;
}

std::string cannotStart(const std::string& program, int err) {
  return "couldn't start \"" + program + "\": " + std::strerror(err);
}

// Starts program in its own folder and a session of its own, not a child of ours, its standard
// input and output on /dev/null; the error when it could not be started.
std::optional<std::string> spawnDetached(const std::string& program) {
  // Everything the children need is made here: between fork and exec only async-signal-safe calls.
  const std::string folder = std::filesystem::path(program).parent_path().string();
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return cannotStart(program, errno);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    int err = errno;
    ::close(null);
    return cannotStart(program, err);
  }
  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(null);
    ::close(report[0]);
    ::close(report[1]);
    return cannotStart(program, err);
  }
  if (child == 0) {
    pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::setsid();  // the program leads a session of its own, apart from the installer's terminal
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      int err = 0;
      if (::chdir(folder.c_str()) != 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(null, STDOUT_FILENO) < 0 ||
          ::dup2(null, STDERR_FILENO) < 0)
        err = errno;
      else
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      if (err == 0) err = errno;
      if (::write(report[1], &err, sizeof err) < 0) {
      }
      ::_exit(127);
    }
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  ::close(null);
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The write end closes at exec (or when the grandchild exits): the read ends then.
  int err = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) return cannotStart(program, err);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return cannotStart(program, EAGAIN);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> SystemPlatform::resourceFolder(const std::string& name) {
  // Off a platform bundle, the resources lie next to the executable.
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  std::string path = (exe.parent_path() / name).string();
  if (!fileExists(path)) return std::nullopt;
  return path;
}

std::vector<RunningApplication> SystemPlatform::runningApplications() {
  std::vector<RunningApplication> programs;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return programs;
  const uid_t me = ::getuid();
  int procFd = ::dirfd(proc.get());
  while (dirent* entry = ::readdir(proc.get())) {
    if (!isNumeric(entry->d_name)) continue;
    // A process that ends while it is looked at, or one of another user, simply does not count.
    struct stat owner, program;
    if (::fstatat(procFd, entry->d_name, &owner, 0) != 0 || owner.st_uid != me) continue;
    std::string exe = std::string(entry->d_name) + "/exe";
    if (::fstatat(procFd, exe.c_str(), &program, 0) != 0) continue;
    RunningApplication running;
    running.program = FileIdentity{static_cast<std::uint64_t>(program.st_dev), static_cast<std::uint64_t>(program.st_ino)};
    programs.push_back(std::move(running));
  }
  return programs;
}

void SystemPlatform::openApplication(const std::string& appPath,
                                     std::function<void(std::optional<std::string> error)> handler) {
  handler(spawnDetached(appPath));
}
