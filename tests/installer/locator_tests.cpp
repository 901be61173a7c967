// The search for X-Plane 12 folders: one row per fake machine (folders, X-Plane's list, XDG and Steam
// files, links, home and environment) with the installs found in order, on the Linux and macOS tables
// alike; the folder test; and the text rules under them (paths, UTF-8, XDG, Steam's library list).
#include <gtest/gtest.h>

#include "test_support.h"
#include "xplane_locator.h"

using namespace testing_support;
using namespace std::string_literals;
using XPlaneDesktop::kLinux;
using XPlaneDesktop::kMac;
using Desktops = std::vector<const XPlaneDesktop::Table*>;

namespace {

const Desktops kBoth = {&kLinux, &kMac};
const std::string kSteamApp = "/steamapps/common/X-Plane 12";
const std::string kSteam = "/home/pilot/.local/share/Steam";
const Names kListed = {"/v/A/X-Plane 12", "/v/B/X-Plane 12", "/work/sims/X-Plane 12"};

struct Machine {
  const char* name;
  Desktops desktops;
  Names xplanes;  // complete fake X-Plane folders
  Tree files;     // path -> bytes, or "link:TARGET"; "LIST" stands for the desktop's X-Plane list
  Names expected;
  std::string home = "/home/pilot";
  std::map<std::string, std::string> env = {};
};

void PrintTo(const Machine& m, std::ostream* os) { *os << m.name; }

const Machine kMachines[] = {
    {"mac_usual_places_in_order_and_nothing_else", {&kMac},
     {"/Users/Shared/X-Plane 12", "/Users/pilot/Desktop/X-Plane 12", "/Users/pilot/X-Plane 12",
      "/Applications/X-Plane 12", "/Users/pilot/.local/share/Steam" + kSteamApp},
     {},
     {"/Applications/X-Plane 12", "/Users/pilot/X-Plane 12", "/Users/pilot/Desktop/X-Plane 12",
      "/Users/Shared/X-Plane 12"},
     "/Users/pilot"},
    {"mac_list_first_and_a_trailing_separator_names_one_folder", {&kMac},
     {"/Volumes/Sim/X-Plane 12", "/Applications/X-Plane 12"},
     {{"/Users/pilot/Library/Preferences/x-plane_install_12.txt",
       "/Volumes/Sim/X-Plane 12\n/Applications/X-Plane 12/\n"}},
     {"/Volumes/Sim/X-Plane 12", "/Applications/X-Plane 12"}, "/Users/pilot"},
    // A Linux pilot's machine: the list, home, a translated desktop, Steam roots that link to one
    // another, Debian's and Flatpak's Steam, and a second library on another disk.
    {"linux_places_in_order_with_linked_folders_once", {&kLinux},
     {"/opt/X-Plane 12", "/home/pilot/X-Plane 12", "/home/pilot/Schreibtisch/X-Plane 12",
      "/home/pilot/Desktop/X-Plane 12", kSteam + kSteamApp, "/home/pilot/.steam/debian-installation" + kSteamApp,
      "/home/pilot/.var/app/com.valvesoftware.Steam/.local/share/Steam" + kSteamApp,
      "/mnt/games/SteamLibrary" + kSteamApp},
     {{"/home/pilot/.x-plane/x-plane_install_12.txt", "/opt/X-Plane 12/\n/home/pilot/sims/XP12/\n"},
      {"/home/pilot/sims/XP12", "link:../X-Plane 12"},
      {"/home/pilot/.config/user-dirs.dirs",
       "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
       "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"},
      {"/home/pilot/.steam/steam", "link:../.local/share/Steam"},
      {kSteam + "/steamapps/libraryfolders.vdf",
       "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"/home/pilot/.steam/steam\"\n\t\t\"apps\"\n\t\t{\n\t\t\t"
       "\"2014780\"\t\t\"0\"\n\t\t}\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"/mnt/games/SteamLibrary\"\n\t}\n}\n"}},
     {"/opt/X-Plane 12", "/home/pilot/sims/XP12", "/home/pilot/Schreibtisch/X-Plane 12", kSteam + kSteamApp,
      "/home/pilot/.steam/debian-installation" + kSteamApp,
      "/home/pilot/.var/app/com.valvesoftware.Steam/.local/share/Steam" + kSteamApp,
      "/mnt/games/SteamLibrary" + kSteamApp}},
    // Without a home folder only the absolute places are left, and Linux has none.
    {"linux_without_a_home_finds_nothing", {&kLinux},
     {"/X-Plane 12", "/Desktop/X-Plane 12", "/.local/share/Steam" + kSteamApp, "/v/A/X-Plane 12"},
     {{"/.x-plane/x-plane_install_12.txt", "/v/A/X-Plane 12\n"}}, {}, ""},
    {"xdg_config_home_when_absolute", {&kLinux}, {"/cfg-desk/X-Plane 12", "/home/pilot/Desktop/X-Plane 12"},
     {{"/etc-pilot/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/cfg-desk\"\n"}}, {"/cfg-desk/X-Plane 12"}, "/home/pilot",
     {{"XDG_CONFIG_HOME", "/etc-pilot"}}},
    {"xdg_config_home_relative_is_ignored", {&kLinux}, {"/cfg-desk/X-Plane 12", "/home/pilot/Desktop/X-Plane 12"},
     {{"/home/pilot/etc-pilot/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/cfg-desk\"\n"}}, {"/home/pilot/Desktop/X-Plane 12"},
     "/home/pilot", {{"XDG_CONFIG_HOME", "etc-pilot"}}},
    // X-Plane's list follows the same rules on every desktop.
    // Trimmed, blank lines dropped, dot components and relative paths resolved, one folder named once.
    {"list_trimmed_resolved_and_named_once", kBoth, kListed,
     {{"LIST", "\n  \t/v/A/X-Plane 12 \t\n   \n\t\n\xC2\xA0/v/B/X-Plane 12\n/v/A/./o/../X-Plane 12\n"
               "/v/../v/A/X-Plane 12/.\nsims/X-Plane 12\n   "}},
     kListed},
    {"list_junk_a_nul_and_incomplete_or_missing_folders_dropped", kBoth, kListed,
     {{"LIST", "/v/Half/X-Plane 12\n/v/Gone\nnot a folder\n/v/A/X-Plane 12\0junk\n/v/B/X-Plane 12"s},
      {"/v/Half/X-Plane 12/Resources/plugins/x", ""},
      {"/v/Half/X-Plane 12/Resources/default data/x", ""}},
     {"/v/B/X-Plane 12"}},
    {"list_not_utf8_is_no_list", kBoth, kListed, {{"LIST", "/v/A/X-Plane 12\n/v/Gr\xFCn\n"}}, {}},
    {"list_huge_is_no_list", kBoth, kListed, {{"LIST", "/v/A/X-Plane 12\n" + std::string(3 << 20, '\n')}}, {}},
};

struct Locator : ::testing::TestWithParam<Machine> {};

}  // namespace

TEST_P(Locator, FindsTheInstallsInOrder) {
  const Machine& m = GetParam();
  for (const XPlaneDesktop::Table* desktop : m.desktops) {
    TempDir tmp;
    TestPlatform platform{tmp.Path()};
    UsePlatform use{platform};
    platform.home = m.home;
    platform.env = m.env;
    for (const std::string& folder : m.xplanes) makeXPlane(platform.real(folder), kAllMarkers, *desktop);
    for (const auto& [path, bytes] : m.files) {
      std::string at = platform.real(path == "LIST" ? paths::join(m.home, desktop->listFile) : path);
      fs::create_directories(fs::path(at).parent_path());
      if (bytes.rfind("link:", 0) == 0)
        fs::create_directory_symlink(bytes.substr(5), at);
      else
        writeFile(at, bytes);
    }
    Names found;
    for (const XPlaneInstall& install : XPlaneLocator::find(*desktop)) {
      found.push_back(install.displayName());
      EXPECT_EQ(install.id(), install.url);
      EXPECT_EQ(install.url, install.displayName());
    }
    EXPECT_EQ(found, m.expected) << desktop->application;
  }
}

INSTANTIATE_TEST_SUITE_P(Machine, Locator, ::testing::ValuesIn(kMachines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LocatorRules, FolderTestNeedsAllThreeMarkersOfAnyKind) {
  TempDir tmp;
  TestPlatform platform{tmp.Path()};
  UsePlatform use{platform};
  for (const XPlaneDesktop::Table* desktop : kBoth) {
    for (unsigned markers = 0; markers < kAllMarkers; ++markers) {
      std::string folder = "/v/" + std::string(desktop->application) + std::to_string(markers);
      makeXPlane(platform.real(folder), markers, *desktop);
      EXPECT_FALSE(XPlaneLocator::isValid(folder, *desktop)) << folder;
    }
    for (const char* item : {"Resources/plugins", "Resources/default data"})
      writeFile(platform.real("/f/"s + item), "");
    fs::create_directories(platform.real("/f/" + std::string(desktop->application)));
    EXPECT_TRUE(XPlaneLocator::isValid("/f", *desktop)) << desktop->application;
    fs::remove_all(platform.real("/f"));
  }
  EXPECT_FALSE(XPlaneLocator::isValid("/v/Nothing"));
  EXPECT_EQ(XPlaneInstall{"/"}.displayName(), "/");
}

TEST(LocatorRules, PathsUtf8AndTrimming) {
  const std::pair<const char*, const char*> standardized[] = {
      {"/Applications/X-Plane 12/", "/Applications/X-Plane 12"}, {"/a/./b/../c", "/a/c"}, {"/a//b///c//", "/a/b/c"},
      {"/..", "/"}, {"/../../x", "/x"}, {"/", "/"}, {"rel/./x", "/work/rel/x"}, {"../up", "/up"}, {"", "/work"},
      {"/a/b/..", "/a"}, {"//a/./b/", "/a/b"}};
  for (const auto& [path, expected] : standardized) EXPECT_EQ(paths::standardize(path, "/work"), expected) << path;

  const std::pair<std::string, bool> utf8[] = {
      {"plain /Applications/X-Plane 12", true}, {"\xE2\x80\x94 em dash, \xF0\x9F\x9B\xA9 plane", true}, {"", true},
      {"\xC0\x80", false},          // overlong NUL
      {"\xE0\x80\xAF", false},      // overlong slash
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x80", false},          // cut short
      {"\x80", false}, {"\xFF", false}};
  for (const auto& [text, valid] : utf8) EXPECT_EQ(paths::isValidUtf8(text), valid) << text;

  EXPECT_EQ(paths::trimWhitespace(" \t/Volumes/X/X-Plane 12\t "), "/Volumes/X/X-Plane 12");
  EXPECT_EQ(paths::trimWhitespace("\xC2\xA0\xE3\x80\x80/x\xE2\x80\x89"), "/x");  // NBSP, ideographic, thin
  EXPECT_EQ(paths::trimWhitespace("/x\r"), "/x\r");
  EXPECT_EQ(paths::trimWhitespace(" \t \xE2\x80\x80 "), "");
  EXPECT_EQ(paths::trimWhitespace("a b"), "a b");
}

TEST(LocatorRules, XdgDesktopAndSteamLibraries) {
  const std::pair<std::string, std::string> desktops[] = {
      {"XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n", "/home/pilot/Schreibtisch"},
      {"  XDG_DESKTOP_DIR=\"/data/desk top\"\n", "/data/desk top"},
      {"XDG_DESKTOP_DIR=\"$HOME/\"\n", "/home/pilot/"},
      {"XDG_DESKTOP_DIR=\"$HOME/a\\\"b\"\n", "/home/pilot/a\"b"},
      {"XDG_DESKTOP_DIR=\"$HOME/A\"\nXDG_DESKTOP_DIR=\"$HOME/B\"\n", "/home/pilot/B"},  // the last one counts
      {"#XDG_DESKTOP_DIR=\"$HOME/Desk\"\n", ""},
      {"XDG_DESKTOP_DIR=\"Desk\"\n", ""},
      {"XDG_DESKTOP_DIR=\"$HOMEWORK/x\"\n", ""},
      {"XDG_DESKTOP_DIR=\"$HOME/Desk\n", ""},
      {"XDG_DESKTOP_DIR=$HOME/Desk\n", ""}};
  for (const auto& [userDirs, expected] : desktops)
    EXPECT_EQ(XPlaneLocator::xdgDesktop(userDirs, "/home/pilot"), expected) << userDirs;

  const std::pair<std::string, Names> libraries[] = {
      {"\"libraryfolders\" { \"0\" { \"path\" \"/a\" } \"1\" { \"PATH\"\t\"/b c\" } }", {"/a", "/b c"}},
      {"\"path\" \"/x\\\\y\\\"z\"", {"/x\\y\"z"}},
      {"// \"path\" \"/no\"\n\"path\" \"/yes\"", {"/yes"}},
      {"\"path\" \"rel\" \"path\" \"\" \"path\" \"/ok\"", {"/ok"}},
      {"\"path\" { \"path\" \"/inner\" }", {"/inner"}},
      {"\"path\" \"/a\" \"path\" \"/b", {"/a"}},  // an unbalanced quote ends the text
      {"\"path\" \"/a\0b\" \"path\" \"/c\""s, {"/c"}},
      {"\x00\x01path\x00/a\x00\x08\x08\xff\""s, {}}};
  for (const auto& [vdf, expected] : libraries) EXPECT_EQ(XPlaneLocator::steamLibraries(vdf), expected) << vdf;
}
