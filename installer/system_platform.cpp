// The file, folder, home, text and UUID services over POSIX and std::filesystem (Linux and macOS).
#include "system_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "paths.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& path, int err) {
  throw PlatformError(std::string(what) + " \"" + path + "\": " + std::strerror(err));
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

void copyFile(const std::string& from, const std::string& to, mode_t mode) {
  Fd in, out;
  in.fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in.fd < 0) fail("couldn't read", from, errno);
  out.fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode | S_IWUSR);
  if (out.fd < 0) fail("couldn't create", to, errno);
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("couldn't read", from, errno);
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out.fd, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        fail("couldn't write", to, errno);
      }
      done += w;
    }
  }
  int fd = out.fd;
  out.fd = -1;
  if (::close(fd) != 0) fail("couldn't write", to, errno);
  if (::chmod(to.c_str(), mode) != 0) fail("couldn't set the permissions of", to, errno);
}

void copyTree(const std::string& from, const std::string& to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) fail("couldn't read", from, errno);
  mode_t mode = st.st_mode & 07777;
  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    if (n < 0) fail("couldn't read", from, errno);
    target.resize(static_cast<size_t>(n));
    if (::symlink(target.c_str(), to.c_str()) != 0) fail("couldn't create", to, errno);
  } else if (S_ISREG(st.st_mode)) {
    copyFile(from, to, mode);
  } else if (S_ISDIR(st.st_mode)) {
    if (::mkdir(to.c_str(), S_IRWXU) != 0) fail("couldn't create", to, errno);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(from.c_str()), ::closedir);
    if (!dir) fail("couldn't read", from, errno);
    for (;;) {
      errno = 0;
      dirent* entry = ::readdir(dir.get());
      if (!entry) {
        if (errno != 0) fail("couldn't read", from, errno);
        break;
      }
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      copyTree(paths::join(from, name), paths::join(to, name));
    }
    if (::chmod(to.c_str(), mode | S_IRWXU) != 0) fail("couldn't set the permissions of", to, errno);
  } else {
    // Devices, pipes and sockets have no place in a plug-in folder.
    fail("couldn't copy", from, ENOTSUP);
  }
}

bool existsNoFollow(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) fail("couldn't remove", path, ec.value());
}

bool exchangeRefused(int err) { return err == EINVAL || err == ENOSYS || err == ENOTSUP || err == EOPNOTSUPP; }

}  // namespace

bool SystemPlatform::fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool SystemPlatform::isWritable(const std::string& path) {
  // Creating an entry takes both write and search permission on the folder.
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

void SystemPlatform::copyItem(const std::string& from, const std::string& to) {
  if (existsNoFollow(to)) fail("couldn't copy to", to, EEXIST);
  copyTree(from, to);
}

void SystemPlatform::moveItem(const std::string& from, const std::string& to) {
#if defined(__APPLE__)
  if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return;
  int err = errno;
  if (err != ENOTSUP) fail("couldn't move", from, err);
#else
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  int err = errno;
  if (!exchangeRefused(err)) fail("couldn't move", from, err);
#endif
  // The file system cannot refuse an existing name by itself: check first.
  if (existsNoFollow(to)) fail("couldn't move to", to, EEXIST);
  if (::rename(from.c_str(), to.c_str()) != 0) fail("couldn't move", from, errno);
}

int SystemPlatform::exchange(const std::string& a, const std::string& b) {
#if defined(__APPLE__)
  return ::renamex_np(a.c_str(), b.c_str(), RENAME_SWAP) == 0 ? 0 : errno;
#else
  return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
#endif
}

void SystemPlatform::replaceItem(const std::string& original, const std::string& replacement) {
  if (!existsNoFollow(original)) fail("couldn't replace", original, ENOENT);
  if (!existsNoFollow(replacement)) fail("couldn't replace with", replacement, ENOENT);
  int err = exchange(replacement, original);
  if (err == 0) {
    // The old item now sits under the replacement's name, where X-Plane would still find it.
    removeTree(replacement);
    return;
  }
  if (!exchangeRefused(err)) fail("couldn't replace", original, err);

  // No swap on this file system: set the old item aside, move the new one in, delete the old.
  std::string aside = original + ".replaced-" + randomUUID().substr(0, 8);
  if (::rename(original.c_str(), aside.c_str()) != 0) fail("couldn't replace", original, errno);
  if (::rename(replacement.c_str(), original.c_str()) != 0) {
    int moveErr = errno;
    ::rename(aside.c_str(), original.c_str());
    fail("couldn't replace", original, moveErr);
  }
  removeTree(aside);
}

void SystemPlatform::removeItem(const std::string& path) {
  if (!existsNoFollow(path)) fail("couldn't remove", path, ENOENT);
  removeTree(path);
}

std::optional<std::uint64_t> SystemPlatform::fileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::string SystemPlatform::homeDirectory() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
    return "";
  return paths::standardize(found->pw_dir, "/");
}

std::string SystemPlatform::currentDirectory() {
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  return ec ? std::string("/") : cwd.string();
}

std::optional<std::string> SystemPlatform::readTextFile(const std::string& path, std::size_t maxBytes) {
  // Non-blocking open, so that a pipe in the file's place cannot stall the caller.
  Fd in;
  in.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (in.fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > maxBytes)
    return std::nullopt;
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > maxBytes) return std::nullopt;
  }
  if (!paths::isValidUtf8(text)) return std::nullopt;
  return text;
}

std::string SystemPlatform::randomUUID() {
  unsigned char bytes[16];
  if (::getentropy(bytes, sizeof bytes) != 0) throw PlatformError("the system's random source is unavailable");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}
