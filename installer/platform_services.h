// The platform services the installer's logic runs on: files, folders, the user's home, the
// application's resources, UUIDs, running applications and opening an application.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A failed platform operation; what() is a description fit to show the user.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RunningApplication {
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> bundlePath;  // the application bundle it runs from
};

class PlatformServices {
 public:
  virtual ~PlatformServices() = default;

  // True when a file or folder exists at path (symbolic links followed).
  virtual bool fileExists(const std::string& path) = 0;
  // True when the current user may create entries in the folder at path.
  virtual bool isWritable(const std::string& path) = 0;
  // Copies a folder with all its contents to a path that does not exist yet.
  virtual void copyItem(const std::string& from, const std::string& to) = 0;
  // Moves an item to a new name; the new name must not exist.
  virtual void moveItem(const std::string& from, const std::string& to) = 0;
  // Replaces the item at original by the item at replacement (same folder) in one step; afterwards
  // nothing is left under the replacement's name.
  virtual void replaceItem(const std::string& original, const std::string& replacement) = 0;
  // Deletes an item with all its contents.
  virtual void removeItem(const std::string& path) = 0;
  // The size in bytes of the regular file at path, or nothing when it cannot be had.
  virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
  // The current user's home folder; empty when the system cannot tell.
  virtual std::string homeDirectory() = 0;
  // The folder relative paths are taken from.
  virtual std::string currentDirectory() = 0;
  // The whole regular file as UTF-8 text, or nothing when it is missing, unreadable, larger than
  // maxBytes or not valid UTF-8.
  virtual std::optional<std::string> readTextFile(const std::string& path, std::size_t maxBytes) = 0;
  // The location of a named item among the application's resources, or nothing.
  virtual std::optional<std::string> resourceFolder(const std::string& name) = 0;
  // A random UUID from the system's secure random source, canonical upper-case form.
  virtual std::string randomUUID() = 0;
  // The applications running for the current user.
  virtual std::vector<RunningApplication> runningApplications() = 0;
  // Opens (or brings forward) the application bundle at appPath; handler gets the error text or
  // nothing, on a thread of the platform's choosing, possibly before this returns.
  virtual void openApplication(const std::string& appPath,
                               std::function<void(std::optional<std::string> error)> handler) = 0;

  // Absolute, "." and ".." resolved, no trailing separator.
  std::string standardize(const std::string& path);

  // The services in use: the system's unless a test put others in place.
  static PlatformServices& current();
  // nullptr returns to the system's services. Not thread-safe: set before use.
  static void use(PlatformServices* services);
};
