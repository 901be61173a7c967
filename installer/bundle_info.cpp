// Reading application bundles where the platform has no workspace service.
#include "bundle_info.h"

#include "paths.h"
#include "platform_services.h"

namespace bundle {

namespace {

constexpr std::size_t kMaxPlistBytes = 1 << 20;

std::optional<std::string> decodeEntities(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    size_t semi = text.find(';', i);
    if (semi == std::string_view::npos) return std::nullopt;
    std::string_view name = text.substr(i + 1, semi - i - 1);
    if (name == "amp") out += '&';
    else if (name == "lt") out += '<';
    else if (name == "gt") out += '>';
    else if (name == "quot") out += '"';
    else if (name == "apos") out += '\'';
    else return std::nullopt;  // numeric references do not occur in bundle identifiers or names
    i = semi;
  }
  return out;
}

void skipSpace(std::string_view text, size_t& i) {
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
}

}  // namespace

std::optional<std::string> bundleOfExecutable(std::string_view exePath) {
  constexpr std::string_view marker = ".app/Contents/MacOS/";
  size_t at = exePath.rfind(marker);
  while (at != std::string_view::npos) {
    size_t nameStart = exePath.rfind('/', at);
    bool named = nameStart != std::string_view::npos && at > nameStart + 1;
    bool hasFile = exePath.size() > at + marker.size();
    if (named && hasFile) return std::string(exePath.substr(0, at + 4));
    if (at == 0) break;
    at = exePath.rfind(marker, at - 1);
  }
  return std::nullopt;
}

std::optional<std::string> plistString(std::string_view plist, std::string_view key) {
  std::string keyTag = "<key>" + std::string(key) + "</key>";
  size_t at = plist.find(keyTag);
  if (at == std::string_view::npos) return std::nullopt;
  size_t i = at + keyTag.size();
  skipSpace(plist, i);
  constexpr std::string_view open = "<string>", close = "</string>";
  if (plist.substr(i, open.size()) != open) return std::nullopt;
  i += open.size();
  size_t end = plist.find(close, i);
  if (end == std::string_view::npos) return std::nullopt;
  return decodeEntities(plist.substr(i, end - i));
}

std::optional<std::string> infoString(PlatformServices& services, const std::string& bundlePath,
                                      std::string_view key) {
  auto text = services.readTextFile(paths::join(bundlePath, "Contents/Info.plist"), kMaxPlistBytes);
  if (!text) return std::nullopt;
  return plistString(*text, key);
}

}  // namespace bundle
