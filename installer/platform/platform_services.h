// The platform services the installer's logic runs on: files, folders, the user's home, the
// application's resources, UUIDs, running programs and opening a program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// What a failed platform operation was doing when the system refused it.
enum class Access { read, write };

// A failed platform operation: the system's error number, whether reading or writing failed, and
// the item concerned as the user knows it (never a staging name). The logic words it for the user.
class PlatformError : public std::runtime_error {
 public:
  PlatformError(int code, Access access, std::string item)
      : std::runtime_error("error " + std::to_string(code) + (access == Access::read ? " reading " : " writing ") + item),
        code_(code),
        access_(access),
        item_(std::move(item)) {}
  int code() const { return code_; }
  Access access() const { return access_; }
  const std::string& item() const { return item_; }

 private:
  int code_;
  Access access_;
  std::string item_;
};

// One file on one disk, whatever path leads to it.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
};

struct RunningApplication {
  std::optional<std::string> bundleIdentifier;  // macOS only
  std::optional<std::string> bundlePath;        // the application bundle it runs from (macOS)
  std::optional<FileIdentity> program;          // the program file it runs (Linux)
};

class PlatformServices {
 public:
  virtual ~PlatformServices() = default;

  // True when a file or folder exists at path (symbolic links followed).
  virtual bool fileExists(const std::string& path) = 0;
  // The identity of what path leads to (links followed), or nothing when it cannot be examined.
  virtual std::optional<FileIdentity> identity(const std::string& path) = 0;
  // True when the current user may create entries in the folder at path.
  virtual bool isWritable(const std::string& path) = 0;
  // Copies a folder with all its contents to a path that does not exist yet.
  virtual void copyItem(const std::string& from, const std::string& to) = 0;
  // Moves an item to a new name; the new name must not exist.
  virtual void moveItem(const std::string& from, const std::string& to) = 0;
  // Replaces the item at original by the item at replacement (same folder) in one step; afterwards
  // nothing is left under the replacement's name. Where the system refuses the one-step exchange,
  // the old item is set aside under the replacement's name followed by ".old", and deleted.
  virtual void replaceItem(const std::string& original, const std::string& replacement) = 0;
  // Deletes an item with all its contents.
  virtual void removeItem(const std::string& path) = 0;
  // The size in bytes of the regular file at path, or nothing when it cannot be had.
  virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
  // The current user's home folder, absolute; empty when the system cannot tell.
  virtual std::string homeDirectory() = 0;
  // The folder relative paths are taken from.
  virtual std::string currentDirectory() = 0;
  // A variable of the process's environment, or nothing when it is unset.
  virtual std::optional<std::string> environment(const std::string& name) = 0;
  // The bytes of the regular file at path, or nothing when it is missing, unreadable, not a regular
  // file or larger than maxBytes. Never waits on a pipe.
  virtual std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes) = 0;
  // The location of a named item among the application's resources, or nothing.
  virtual std::optional<std::string> resourceFolder(const std::string& name) = 0;
  // A random UUID from the system's secure random source, canonical upper-case form.
  virtual std::string randomUUID() = 0;
  // The programs running for the current user.
  virtual std::vector<RunningApplication> runningApplications() = 0;
  // Starts (or brings forward) the program at appPath; handler gets the error text or nothing, on
  // a thread of the platform's choosing, possibly before this returns.
  virtual void openApplication(const std::string& appPath,
                               std::function<void(std::optional<std::string> error)> handler) = 0;

  // The services in use: the system's unless a test put others in place.
  static PlatformServices& current();
  // nullptr returns to the system's services. Not thread-safe: set before use.
  static void use(PlatformServices* services);
};
