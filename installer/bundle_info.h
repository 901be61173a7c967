// Reading application bundles where the platform has no workspace service: which bundle an
// executable runs from, and the text values of its Info.plist.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class PlatformServices;

namespace bundle {

// The "<name>.app" folder whose "Contents/MacOS/" holds the executable at exePath (the innermost
// one when bundles nest), or nothing.
std::optional<std::string> bundleOfExecutable(std::string_view exePath);

// The string value of key in an XML property list, entities decoded, or nothing.
std::optional<std::string> plistString(std::string_view plist, std::string_view key);

// The string value of key in the bundle's "Contents/Info.plist", or nothing.
std::optional<std::string> infoString(PlatformServices& services, const std::string& bundlePath,
                                      std::string_view key);

}  // namespace bundle
