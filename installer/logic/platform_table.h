// Where X-Plane 12 lives on each desktop and how the installer names that desktop to the user: one
// table per platform, the one in use chosen when the installer is built.
#pragma once

#include <span>
#include <string_view>

namespace XPlaneDesktop {

// Where a usual place of X-Plane 12 hangs from.
enum class Root {
  absolute,        // the path stands for itself
  home,            // below the user's home folder
  desktop,         // below the user's desktop folder (XDG_DESKTOP_DIR, else ~/Desktop)
  steamRoots,      // below each Steam root that exists
  steamLibraries,  // below each library that a Steam root's libraryfolders.vdf lists
};

struct Place {
  Root root;
  std::string_view path;
};

// A window text that names the platform: the key the window looks up, and what this platform shows.
struct Wording {
  std::string_view key;
  std::string_view text;
};

// How the running test recognises X-Plane.
enum class RunningBy {
  bundleIdentifier,  // an application with X-Plane's bundle identifier, from the folder's X-Plane.app
  programFile,       // a process whose program file is the folder's program (same device and inode)
};

struct Table {
  std::string_view listFile;                     // X-Plane's list of installations, below the home folder
  std::string_view application;                  // the program that marks an X-Plane 12 folder
  std::span<const Place> usualPlaces;            // in the order they are searched
  std::span<const std::string_view> steamRoots;  // below the home folder
  bool sameFolderByIdentity;                     // links to one folder count as that folder
  RunningBy runningBy;
  std::string_view notXPlane;                    // the notXPlane case's text
  std::string_view pickerMessage;                // the folder picker's message
  std::span<const Wording> windowWording;        // window texts that differ from their keys
};

inline constexpr Place kMacPlaces[] = {
    {Root::absolute, "/Applications/X-Plane 12"},
    {Root::home, "X-Plane 12"},
    {Root::home, "Desktop/X-Plane 12"},
    {Root::absolute, "/Users/Shared/X-Plane 12"},
};

inline constexpr Table kMac{
    "Library/Preferences/x-plane_install_12.txt",
    "X-Plane.app",
    kMacPlaces,
    {},
    false,
    RunningBy::bundleIdentifier,
    "That folder isn't an X-Plane 12 installation. Choose the folder that contains X-Plane.app.",
    "Select your X-Plane 12 folder \u2014 the one containing X-Plane.app.",
    {},
};

inline constexpr std::string_view kSteamApp = "steamapps/common/X-Plane 12";

inline constexpr Place kLinuxPlaces[] = {
    {Root::home, "X-Plane 12"},
    {Root::desktop, "X-Plane 12"},
    {Root::steamRoots, kSteamApp},
    {Root::steamLibraries, kSteamApp},
};

inline constexpr std::string_view kLinuxSteamRoots[] = {
    ".local/share/Steam",
    ".steam/steam",
    ".steam/debian-installation",
    ".var/app/com.valvesoftware.Steam/.local/share/Steam",
};

inline constexpr Wording kLinuxWording[] = {
    {"TAVRO couldn't find X-Plane 12 on this Mac.", "TAVRO couldn't find X-Plane 12 on this computer."},
    {"Choose the X-Plane 12 folder \u2014 the one containing X-Plane.app.",
     "Choose the X-Plane 12 folder \u2014 the one containing X-Plane-x86_64."},
    {"Then open TAVRO on your iPhone \u2014 it will find this Mac by itself.",
     "Then open TAVRO on your iPhone \u2014 it will find this computer by itself."},
};

inline constexpr Table kLinux{
    ".x-plane/x-plane_install_12.txt",
    "X-Plane-x86_64",
    kLinuxPlaces,
    kLinuxSteamRoots,
    true,
    RunningBy::programFile,
    "That folder isn't an X-Plane 12 installation. Choose the folder that contains X-Plane-x86_64.",
    "Select your X-Plane 12 folder \u2014 the one containing X-Plane-x86_64.",
    kLinuxWording,
};

#if defined(__APPLE__)
inline constexpr const Table& kThisDesktop = kMac;
#else
inline constexpr const Table& kThisDesktop = kLinux;
#endif

}  // namespace XPlaneDesktop
