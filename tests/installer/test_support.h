// Helpers for the installer tests: a platform rooted in a temporary folder with forced failures, the
// fake X-Plane folder and payload makers, and folder snapshots.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "installer.h"
#include "paths.h"
#include "platform_table.h"
#include "system_platform.h"

namespace fs = std::filesystem;

namespace testing_support {

using cvhtsupport::TempDir;
using Tree = std::map<std::string, std::string>;
using Names = std::vector<std::string>;

// The install engine's texts that the window shows as they stand.
const std::string kDamaged =
    "This installer is damaged \u2014 the TAVRO add-on is missing. Please download TAVRO again.";
const std::string kUnwritable =
    "TAVRO doesn't have permission to change that X-Plane folder. Try a copy of X-Plane in your home folder, or "
    "check the folder's permissions.";
const std::string kVerifyFailed =
    "TAVRO was copied but didn't look right afterwards, so it was removed. Please try again.";

inline void writeFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string readFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Every item below root: relative path -> "dir", "link:<target>" or the file's permission bits and bytes.
inline Tree snapshot(const std::string& root) {
  Tree items;
  if (!fs::exists(fs::symlink_status(root))) return items;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(root).string();
    if (it->is_symlink())
      items[rel] = "link:" + fs::read_symlink(it->path()).string();
    else if (it->is_regular_file())
      items[rel] = std::to_string(static_cast<unsigned>(it->status().permissions())) + ":" + readFile(it->path());
    else
      items[rel] = it->is_directory() ? "dir" : "other";
  }
  return items;
}

inline Names entries(const std::string& folder) {
  Names names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The real platform with every logical absolute path mapped below a root folder (none: the real paths),
// a home, a current folder ("/work") and an environment of the test's own, and failures that a test
// can force: a platform error's errno by operation ("copy", "move", "remove", "open" after answering,
// "running" for the process list, "exchange" for the one-step swap, "write" for the writable test) or
// by the name of an item whose rename fails.
class TestPlatform : public SystemPlatform {
 public:
  explicit TestPlatform(std::string root = "") : root_(std::move(root)) {}

  std::string real(const std::string& logical) const { return root_ + logical; }

  std::string home = "/home/pilot";
  std::map<std::string, std::string> env;
  std::map<std::string, int> fail;
  std::optional<std::string> uuid;
  std::optional<std::string> resource;  // logical path of the resource "TAVRO"
  std::optional<std::vector<RunningApplication>> running;
  std::optional<std::optional<std::string>> openResult;  // answered instead of really opening
  bool stopAfterCopy = false;  // stops the process once a copy is complete, so that a test can kill it there
  Names copiedTo, opened;

  bool fileExists(const std::string& p) override { return SystemPlatform::fileExists(real(p)); }
  std::optional<FileIdentity> identity(const std::string& p) override { return SystemPlatform::identity(real(p)); }
  bool isWritable(const std::string& p) override { return !fail.count("write") && SystemPlatform::isWritable(real(p)); }
  void copyItem(const std::string& from, const std::string& to) override {
    copiedTo.push_back(to);
    if (fail.count("copy")) fs::create_directories(real(to) + "/partial");  // fails half-way
    failIf("copy");
    SystemPlatform::copyItem(real(from), real(to));
    if (stopAfterCopy) ::raise(SIGSTOP);
  }
  void moveItem(const std::string& from, const std::string& to) override {
    failIf("move");
    SystemPlatform::moveItem(real(from), real(to));
  }
  void replaceItem(const std::string& original, const std::string& replacement) override {
    SystemPlatform::replaceItem(real(original), real(replacement));
  }
  void removeItem(const std::string& p) override {
    failIf("remove");
    SystemPlatform::removeItem(real(p));
  }
  std::optional<std::uint64_t> fileSize(const std::string& p) override { return SystemPlatform::fileSize(real(p)); }
  std::string homeDirectory() override { return home; }
  std::string currentDirectory() override { return "/work"; }
  std::optional<std::string> environment(const std::string& name) override {
    return env.count(name) ? std::optional<std::string>(env[name]) : std::nullopt;
  }
  std::optional<std::string> readFile(const std::string& p, std::size_t maxBytes) override {
    return SystemPlatform::readFile(real(p), maxBytes);
  }
  std::optional<std::string> resourceFolder(const std::string& name) override {
    return name == "TAVRO" && resource && fileExists(*resource) ? resource : std::nullopt;
  }
  std::string randomUUID() override { return uuid ? *uuid : SystemPlatform::randomUUID(); }
  std::vector<RunningApplication> runningApplications() override {
    failIf("running");
    return running ? *running : plain_.runningApplications();
  }
  void openApplication(const std::string& app, std::function<void(std::optional<std::string>)> handler) override {
    opened.push_back(app);
    if (!openResult) return plain_.openApplication(real(app), std::move(handler));
    handler(*openResult);
    failIf("open");
  }

 protected:
  int exchange(const std::string& a, const std::string& b) override {
    return fail.count("exchange") ? fail["exchange"] : SystemPlatform::exchange(a, b);
  }
  int rename(const std::string& from, const std::string& to) override {
    auto failing = fail.find(fs::path(from).filename().string());
    return failing != fail.end() ? failing->second : SystemPlatform::rename(from, to);
  }

 private:
  void failIf(const char* operation) {
    if (fail.count(operation)) throw PlatformError(fail[operation], Access::write, "TAVRO");
  }
  std::string root_;
  SystemPlatform plain_;  // for services that look up further paths themselves, already real
};

// Puts a platform in use for the lifetime of the guard.
class UsePlatform {
 public:
  explicit UsePlatform(PlatformServices& services) { PlatformServices::use(&services); }
  ~UsePlatform() { PlatformServices::use(nullptr); }
};

enum Marker : unsigned { kApp = 1, kPlugins = 2, kDefaultData = 4, kAllMarkers = 7 };

// A fake X-Plane 12 folder at a real path with the chosen markers, shaped for a desktop: its program
// (a folder "X-Plane.app" on macOS, an empty file "X-Plane-x86_64" on Linux) and two folders.
inline void makeXPlane(const std::string& folder, unsigned markers = kAllMarkers,
                       const XPlaneDesktop::Table& desktop = XPlaneDesktop::kThisDesktop) {
  fs::create_directories(folder);
  bool mac = desktop.runningBy == XPlaneDesktop::RunningBy::bundleIdentifier;
  if ((markers & kApp) && mac) fs::create_directories(folder + "/X-Plane.app/Contents/MacOS");
  if ((markers & kApp) && !mac) writeFile(folder + "/X-Plane-x86_64", "");
  if (markers & kPlugins) fs::create_directories(folder + "/Resources/plugins");
  if (markers & kDefaultData) fs::create_directories(folder + "/Resources/default data");
}

// A payload folder at a real path: the plug-in file with the given bytes, runnable by its group, and a
// link to it.
inline void makePayload(const std::string& folder, const std::string& plugin = "\x7f" "ELF plug-in bytes") {
  std::string file = paths::join(folder, Installer::pluginFile);
  writeFile(file, plugin);
  fs::permissions(file, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read);  // not the umask's
  if (!fs::is_symlink(folder + "/current")) fs::create_symlink(Installer::pluginFile, folder + "/current");
}

// An earlier install in an X-Plane folder at a real path.
inline void earlierInstall(const std::string& xplane) {
  writeFile(xplane + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile), "old plug-in");
  writeFile(xplane + "/Resources/plugins/TAVRO/only-in-old.txt", "old");
}

// X-Plane's program in a real X-Plane folder, as a copy of program that may be run.
inline std::string makeProgram(const std::string& folder, const std::string& program) {
  std::string exe = Installer::xplaneApp(folder);
  fs::remove_all(exe);
  fs::copy_file(program, exe);
  fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                           fs::perms::group_exec | fs::perms::others_exec);
  return exe;
}

}  // namespace testing_support
