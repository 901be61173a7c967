// Finding the X-Plane 12 installations on this machine, and the test of an X-Plane 12 folder.
#include "xplane_locator.h"

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "paths.h"
#include "platform_services.h"
#include "platform_table.h"

namespace {

using XPlaneDesktop::Root;
using XPlaneDesktop::Table;

// X-Plane and Steam write a few short lines; anything far larger is not their file.
constexpr std::size_t kMaxListBytes = 1 << 20;

std::string home() { return PlatformServices::current().homeDirectory(); }


std::optional<std::string> readText(const std::string& path) {
  auto bytes = PlatformServices::current().readFile(path, kMaxListBytes);
  if (!bytes || !paths::isValidUtf8(*bytes)) return std::nullopt;
  return bytes;
}

// Worked out at each search, as the home folder is.
std::vector<std::string> registryEntries(const Table& desktop) {
  std::vector<std::string> entries;
  std::string h = home();
  if (h.empty()) return entries;
  auto text = readText(paths::join(h, desktop.listFile));
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

std::string desktopFolder(const std::string& h) {
  PlatformServices& platform = PlatformServices::current();
  // XDG_CONFIG_HOME counts only when absolute, as the XDG rules say.
  auto config = platform.environment("XDG_CONFIG_HOME");
  std::string configHome = config && !config->empty() && config->front() == '/' ? *config : paths::join(h, ".config");
  if (auto userDirs = readText(paths::join(configHome, "user-dirs.dirs"))) {
    std::string desktop = XPlaneLocator::xdgDesktop(*userDirs, h);
    if (!desktop.empty()) return desktop;
  }
  return paths::join(h, "Desktop");
}

std::vector<std::string> conventional(const Table& desktop) {
  PlatformServices& platform = PlatformServices::current();
  std::string h = home();
  std::vector<std::string> places;
  for (const XPlaneDesktop::Place& place : desktop.usualPlaces) {
    if (place.root == Root::absolute) {
      places.emplace_back(place.path);
      continue;
    }
    if (h.empty()) continue;  // without a home there is nothing below it
    if (place.root == Root::home) places.push_back(paths::join(h, place.path));
    if (place.root == Root::desktop) places.push_back(paths::join(desktopFolder(h), place.path));
    for (std::string_view steamRoot : desktop.steamRoots) {
      std::string root = paths::join(h, steamRoot);
      if (place.root == Root::steamRoots && platform.fileExists(root)) places.push_back(paths::join(root, place.path));
      if (place.root != Root::steamLibraries) continue;
      if (auto vdf = readText(paths::join(root, "steamapps/libraryfolders.vdf")))
        for (const std::string& library : XPlaneLocator::steamLibraries(*vdf))
          places.push_back(paths::join(library, place.path));
    }
  }
  return places;
}

// One quoted or bare token of Valve's KeyValues text.
struct Token {
  bool quoted;
  std::string text;
};

std::vector<Token> keyValueTokens(std::string_view text) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      i = std::min(text.find('\n', i), text.size());
    } else if (c == '"') {
      Token token{true, {}};
      bool closed = false;
      for (++i; i < text.size(); ++i) {
        if (text[i] == '"') {
          closed = true;
          ++i;
          break;
        }
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        token.text += text[i];
      }
      if (!closed) break;  // an unbalanced quote ends the text
      tokens.push_back(std::move(token));
    } else if (c == '{' || c == '}') {
      tokens.push_back({false, std::string(1, c)});
      ++i;
    } else {
      size_t end = text.find_first_of(" \t\r\n\"{}", i);
      end = end == std::string_view::npos ? text.size() : end;
      tokens.push_back({false, std::string(text.substr(i, end - i))});
      i = end;
    }
  }
  return tokens;
}

}  // namespace

std::string XPlaneInstall::displayName() const {
  std::string path = url;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

namespace XPlaneLocator {

std::vector<std::string> steamLibraries(std::string_view vdf) {
  std::vector<std::string> libraries;
  std::vector<Token> tokens = keyValueTokens(vdf);
  for (size_t i = 0; i + 1 < tokens.size(); ++i) {
    std::string key = tokens[i].text;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    const Token& value = tokens[i + 1];
    if (!tokens[i].quoted || key != "path" || !value.quoted) continue;
    if (value.text.empty() || value.text.front() != '/' || value.text.find('\0') != std::string::npos) continue;
    libraries.push_back(value.text);
    ++i;
  }
  return libraries;
}

std::string xdgDesktop(std::string_view userDirs, const std::string& home) {
  constexpr std::string_view kKey = "XDG_DESKTOP_DIR=\"";
  std::string desktop;
  while (!userDirs.empty()) {
    size_t newline = userDirs.find('\n');
    std::string_view line = userDirs.substr(0, newline);
    userDirs = newline == std::string_view::npos ? std::string_view() : userDirs.substr(newline + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.substr(0, kKey.size()) != kKey) continue;
    line.remove_prefix(kKey.size());
    // The value is shell-quoted: backslash escapes, one closing quote.
    std::string value;
    bool closed = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') {
        closed = true;
        break;
      }
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      value += line[i];
    }
    if (!closed || value.find('\0') != std::string::npos) continue;
    // "$HOME/..." or an absolute path; anything else is not for us to guess. The last one counts.
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/'))
      desktop = home + value.substr(5);
    else if (!value.empty() && value.front() == '/')
      desktop = value;
  }
  return desktop;
}

bool isValid(const std::string& folder, const Table& desktop) {
  // A NUL would cut the path short at the system's door and test another folder.
  if (folder.find('\0') != std::string::npos) return false;
  PlatformServices& platform = PlatformServices::current();
  return platform.fileExists(paths::join(folder, desktop.application)) &&
         platform.fileExists(paths::join(folder, "Resources/plugins")) &&
         platform.fileExists(paths::join(folder, "Resources/default data"));
}

std::vector<XPlaneInstall> find(const Table& desktop) {
  PlatformServices& platform = PlatformServices::current();
  std::vector<std::string> candidates = registryEntries(desktop);
  for (std::string& place : conventional(desktop)) candidates.push_back(std::move(place));

  std::unordered_set<std::string> seen;
  std::vector<FileIdentity> seenFolders;
  std::vector<XPlaneInstall> found;
  for (const std::string& candidate : candidates) {
    std::string key = paths::standardize(candidate);
    if (seen.count(key) || !isValid(key, desktop)) continue;
    seen.insert(key);
    if (desktop.sameFolderByIdentity) {
      // Steam's roots are often links to one another: one folder, one row, at its first path.
      auto folder = platform.identity(key);
      if (folder && std::find(seenFolders.begin(), seenFolders.end(), *folder) != seenFolders.end()) continue;
      if (folder) seenFolders.push_back(*folder);
    }
    found.push_back(XPlaneInstall{key});
  }
  return found;
}

}  // namespace XPlaneLocator
