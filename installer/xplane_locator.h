// Finding the X-Plane 12 installations on this machine, and the test of an X-Plane 12 folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

// One X-Plane 12 folder (the one that contains "X-Plane.app").
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

// True when the folder holds "X-Plane.app", "Resources/plugins" and "Resources/default data"
// (any kind of item). Never fails: a folder that cannot be examined is not valid.
bool isValid(const std::string& folder);

// X-Plane's own list of installations, then the usual places; each valid folder once, under its
// first valid occurrence. Never fails.
std::vector<XPlaneInstall> find();

}  // namespace XPlaneLocator
