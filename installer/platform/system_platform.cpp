// The file, folder, home, environment and UUID services over POSIX (Linux and macOS).
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
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

namespace fs = std::filesystem;

namespace {

PlatformServices* gServices = nullptr;

// A copy names its items from the copied folder's own name down, so the user never sees the
// staging name it is written under.
struct CopyNames {
  std::string from, to, item;
  CopyNames child(const std::string& name) const { return {from + "/" + name, to + "/" + name, item + "/" + name}; }
};

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Hand-written rather than std::filesystem::copy: that one copies files whose reported size is 0
// as empty files without reading them, and names only the top folder when it fails.
void copyFile(const CopyNames& at, mode_t mode) {
  Fd in, out;
  in.fd = ::open(at.from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in.fd < 0) throw PlatformError(errno, Access::read, at.item);
  out.fd = ::open(at.to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode | S_IWUSR);
  if (out.fd < 0) throw PlatformError(errno, Access::write, at.item);
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw PlatformError(errno, Access::read, at.item);
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out.fd, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        throw PlatformError(errno, Access::write, at.item);
      }
      done += w;
    }
  }
  int fd = out.fd;
  out.fd = -1;
  if (::close(fd) != 0) throw PlatformError(errno, Access::write, at.item);
  if (::chmod(at.to.c_str(), mode) != 0) throw PlatformError(errno, Access::write, at.item);
}

void copyTree(const CopyNames& at) {
  struct stat st;
  if (::lstat(at.from.c_str(), &st) != 0) throw PlatformError(errno, Access::read, at.item);
  mode_t mode = st.st_mode & 07777;
  if (S_ISLNK(st.st_mode)) {
    std::error_code ec;
    fs::path target = fs::read_symlink(at.from, ec);
    if (ec) throw PlatformError(ec.value(), Access::read, at.item);
    fs::create_symlink(target, at.to, ec);
    if (ec) throw PlatformError(ec.value(), Access::write, at.item);
  } else if (S_ISREG(st.st_mode)) {
    copyFile(at, mode);
  } else if (S_ISDIR(st.st_mode)) {
    if (::mkdir(at.to.c_str(), S_IRWXU) != 0) throw PlatformError(errno, Access::write, at.item);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(at.from.c_str()), ::closedir);
    if (!dir) throw PlatformError(errno, Access::read, at.item);
    for (;;) {
      errno = 0;
      dirent* entry = ::readdir(dir.get());
      if (!entry) {
        if (errno != 0) throw PlatformError(errno, Access::read, at.item);
        break;
      }
      std::string name = entry->d_name;
      if (name != "." && name != "..") copyTree(at.child(name));
    }
    if (::chmod(at.to.c_str(), mode | S_IRWXU) != 0) throw PlatformError(errno, Access::write, at.item);
  } else {
    // Devices, pipes and sockets have no place in a plug-in folder.
    throw PlatformError(ENOTSUP, Access::read, at.item);
  }
}

bool existsNoFollow(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string nameOf(const std::string& path) { return fs::path(path).filename().string(); }

void removeTree(const std::string& path, const std::string& item) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) throw PlatformError(ec.value(), Access::write, item);
}

// The system cannot swap these two names in one step (no support, or another layer of an overlay).
bool exchangeRefused(int err) {
  return err == EINVAL || err == ENOSYS || err == ENOTSUP || err == EOPNOTSUPP || err == EXDEV;
}

}  // namespace

PlatformServices& PlatformServices::current() {
  if (gServices) return *gServices;
  static SystemPlatform system;
  return system;
}

void PlatformServices::use(PlatformServices* services) { gServices = services; }

bool SystemPlatform::fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<FileIdentity> SystemPlatform::identity(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool SystemPlatform::isWritable(const std::string& path) {
  // Creating an entry takes both write and search permission on the folder.
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

void SystemPlatform::copyItem(const std::string& from, const std::string& to) {
  if (existsNoFollow(to)) throw PlatformError(EEXIST, Access::write, nameOf(from));
  copyTree({from, to, nameOf(from)});
}

void SystemPlatform::moveItem(const std::string& from, const std::string& to) {
  if (int err = rename(from, to)) throw PlatformError(err, Access::write, nameOf(to));
}

int SystemPlatform::rename(const std::string& from, const std::string& to) {
#if defined(__APPLE__)
  if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return 0;
#else
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
#endif
  int err = errno;
  if (err != EINVAL && err != ENOSYS && err != ENOTSUP && err != EOPNOTSUPP) return err;
  // The file system cannot refuse an existing name by itself: check first.
  if (existsNoFollow(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int SystemPlatform::exchange(const std::string& a, const std::string& b) {
#if defined(__APPLE__)
  return ::renamex_np(a.c_str(), b.c_str(), RENAME_SWAP) == 0 ? 0 : errno;
#else
  return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
#endif
}

void SystemPlatform::replaceItem(const std::string& original, const std::string& replacement) {
  const std::string item = nameOf(original);
  if (!existsNoFollow(original)) throw PlatformError(ENOENT, Access::write, item);
  if (!existsNoFollow(replacement)) throw PlatformError(ENOENT, Access::read, item);
  int err = exchange(replacement, original);
  if (err == 0) {
    // The old item now sits under the replacement's name, where X-Plane would still find it.
    removeTree(replacement, item);
    return;
  }
  if (!exchangeRefused(err)) throw PlatformError(err, Access::write, item);

  // No swap here: set the old item aside, move the new one in, delete the old. The aside name
  // keeps the replacement's prefix, so that nothing looks like a second copy of the item.
  const std::string aside = replacement + ".old";
  err = rename(original, aside);
  if (err == EXDEV) {
    // A folder on an overlay's lower layer cannot be renamed: copy it aside and delete it instead.
    try {
      copyTree({original, aside, item});
    } catch (const PlatformError&) {
      std::error_code ignored;
      fs::remove_all(aside, ignored);
      throw;
    }
    std::error_code ec;
    fs::remove_all(original, ec);
    if (ec) {
      // What is left of the old item goes, and its full copy takes its place again.
      std::error_code again;
      fs::remove_all(original, again);
      if (int backErr = rename(aside, original)) throw PlatformError(backErr, Access::write, item);
      throw PlatformError(ec.value(), Access::write, item);
    }
    err = 0;
  }
  if (err != 0) throw PlatformError(err, Access::write, item);
  if (int moveErr = rename(replacement, original)) {
    // Put the old item back; when that fails too, that is what the user must hear about.
    if (int backErr = rename(aside, original)) throw PlatformError(backErr, Access::write, item);
    throw PlatformError(moveErr, Access::write, item);
  }
  removeTree(aside, item);
}

void SystemPlatform::removeItem(const std::string& path) {
  if (!existsNoFollow(path)) throw PlatformError(ENOENT, Access::write, nameOf(path));
  removeTree(path, nameOf(path));
}

std::optional<std::uint64_t> SystemPlatform::fileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::string SystemPlatform::homeDirectory() {
#if !defined(__APPLE__)
  // Like every Linux program: $HOME when it names a folder, the password database otherwise.
  if (const char* home = std::getenv("HOME"); home && home[0] == '/')
    return fs::path(home).lexically_normal().string();
#endif
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir ||
      found->pw_dir[0] != '/')
    return "";
  return fs::path(found->pw_dir).lexically_normal().string();
}

std::string SystemPlatform::currentDirectory() {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? std::string("/") : cwd.string();
}

std::optional<std::string> SystemPlatform::environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> SystemPlatform::readFile(const std::string& path, std::size_t maxBytes) {
  // Non-blocking open, so that a pipe in the file's place cannot stall the caller.
  Fd in;
  in.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (in.fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > maxBytes)
    return std::nullopt;
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
    if (bytes.size() > maxBytes) return std::nullopt;
  }
  return bytes;
}

std::string SystemPlatform::randomUUID() {
  unsigned char bytes[16];
  if (::getentropy(bytes, sizeof bytes) != 0) throw PlatformError(errno, Access::read, "");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}
