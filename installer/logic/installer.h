// The install engine (putting the TAVRO plug-in folder into an X-Plane 12 folder) and control of
// that folder's X-Plane: whether it runs, and opening it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "install_error.h"

namespace Installer {

// The plug-in file inside the payload and inside the installed folder: X-Plane's folder for this
// platform's plug-ins.
#if defined(__APPLE__)
inline constexpr std::string_view pluginFile = "mac_x64/TAVRO.xpl";
#else
inline constexpr std::string_view pluginFile = "lin_x64/TAVRO.xpl";
#endif

inline constexpr std::string_view stagingPrefix = "TAVRO.installing-";

// The bundle identifier of X-Plane's application.
inline constexpr std::string_view xplaneBundleID = "com.laminar-research.X-Plane";

// The payload folder "TAVRO" among the application's resources, when it holds the plug-in file.
// Worked out anew on every call.
std::optional<std::string> payload();

// True when "Resources/plugins/TAVRO" exists in the X-Plane 12 folder.
bool isAlreadyInstalled(const std::string& xplaneFolder);

// Copies the payload to "Resources/plugins/TAVRO" through a staging folder, replacing an earlier
// copy, and verifies it. Throws InstallError, and nothing else; on failure removes what it made.
void install(const std::string& xplaneFolder);

// X-Plane's program directly inside the folder ("X-Plane.app" on macOS, "X-Plane-x86_64" on
// Linux); touches no disk.
std::string xplaneApp(const std::string& xplaneFolder);

// True when that folder's X-Plane runs: on macOS an application with xplaneBundleID from its
// "X-Plane.app", on Linux a process of this user whose program file is its "X-Plane-x86_64" (the
// same file, whatever path leads to it).
bool isRunning(const std::string& xplaneFolder);

// Asks the platform to open the folder's X-Plane and returns at once. completion runs exactly
// once, later, on the main thread (through MainQueue), with the platform's error text or nothing.
void launch(const std::string& xplaneFolder, std::function<void(std::optional<std::string> error)> completion);

}  // namespace Installer
