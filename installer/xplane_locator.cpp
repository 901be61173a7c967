// Finding the X-Plane 12 installations on this machine, and the test of an X-Plane 12 folder.
#include "xplane_locator.h"

#include <unordered_set>

#include "paths.h"
#include "platform_services.h"

namespace {

// X-Plane writes a few short lines; anything far larger is not its list.
constexpr std::size_t kMaxRegistryBytes = 1 << 20;

const std::string& registryFile() {
  static const std::string file = [] {
    std::string home = PlatformServices::current().homeDirectory();
    return home.empty() ? std::string() : paths::join(home, "Library/Preferences/x-plane_install_12.txt");
  }();
  return file;
}

std::vector<std::string> conventional() {
  std::string home = PlatformServices::current().homeDirectory();
  std::vector<std::string> places{"/Applications/X-Plane 12"};
  if (!home.empty()) {
    places.push_back(paths::join(home, "X-Plane 12"));
    places.push_back(paths::join(home, "Desktop/X-Plane 12"));
  }
  places.push_back("/Users/Shared/X-Plane 12");
  return places;
}

std::vector<std::string> registryEntries() {
  std::vector<std::string> entries;
  if (registryFile().empty()) return entries;
  auto text = PlatformServices::current().readTextFile(registryFile(), kMaxRegistryBytes);
  if (!text) return entries;
  std::string_view rest = *text;
  while (!rest.empty()) {
    size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    std::string trimmed = paths::trimWhitespace(line);
    if (!trimmed.empty()) entries.push_back(std::move(trimmed));
  }
  return entries;
}

}  // namespace

std::string XPlaneInstall::displayName() const {
  std::string path = url;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

namespace XPlaneLocator {

bool isValid(const std::string& folder) {
  PlatformServices& platform = PlatformServices::current();
  return platform.fileExists(paths::join(folder, "X-Plane.app")) &&
         platform.fileExists(paths::join(folder, "Resources/plugins")) &&
         platform.fileExists(paths::join(folder, "Resources/default data"));
}

std::vector<XPlaneInstall> find() {
  PlatformServices& platform = PlatformServices::current();
  std::vector<std::string> candidates = registryEntries();
  for (std::string& place : conventional()) candidates.push_back(std::move(place));

  std::unordered_set<std::string> seen;
  std::vector<XPlaneInstall> found;
  for (const std::string& candidate : candidates) {
    std::string key = platform.standardize(candidate);
    if (seen.count(key) || !isValid(key)) continue;
    seen.insert(key);
    found.push_back(XPlaneInstall{key});
  }
  return found;
}

}  // namespace XPlaneLocator
