// Finding the X-Plane 12 installations on this machine, and the test of an X-Plane 12 folder.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform_table.h"

// One X-Plane 12 folder (the one that contains X-Plane's program).
struct XPlaneInstall {
  std::string url;  // the folder's path; standardised when it comes from XPlaneLocator::find()

  const std::string& id() const { return url; }
  std::string displayName() const;  // the path without a trailing separator

  bool operator==(const XPlaneInstall& other) const { return url == other.url; }
};

template <>
struct std::hash<XPlaneInstall> {
  std::size_t operator()(const XPlaneInstall& install) const noexcept { return std::hash<std::string>()(install.url); }
};

namespace XPlaneLocator {

// True when the folder holds X-Plane's program ("X-Plane.app" on macOS, "X-Plane-x86_64" on Linux),
// "Resources/plugins" and "Resources/default data" (any kind of item). Never fails: a folder that
// cannot be examined is not valid.
bool isValid(const std::string& folder, const XPlaneDesktop::Table& desktop = XPlaneDesktop::kThisDesktop);

// X-Plane's own list of installations, then the usual places; each valid folder once, under its
// first valid occurrence. Never fails. Another desktop's table may be given to search as it would.
std::vector<XPlaneInstall> find(const XPlaneDesktop::Table& desktop = XPlaneDesktop::kThisDesktop);

// The library folders that a Steam libraryfolders.vdf lists as "path" entries, absolute ones only.
std::vector<std::string> steamLibraries(std::string_view vdf);

// The desktop folder that an XDG user-dirs.dirs sets (XDG_DESKTOP_DIR), or "" when it sets none.
std::string xdgDesktop(std::string_view userDirs, const std::string& home);

}  // namespace XPlaneLocator
