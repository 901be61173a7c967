// The X-Plane 12 folder test and the search through X-Plane's list and the usual places, with the
// Linux table (list file, home, XDG desktop, Steam roots and libraries, links to one folder) and
// the macOS table run on the same real folders.
#include <gtest/gtest.h>

#include "test_support.h"
#include "xplane_locator.h"

using namespace testing_support;
using XPlaneDesktop::kLinux;
using XPlaneDesktop::kMac;
using Names = std::vector<std::string>;
using namespace std::string_literals;

namespace {

const std::string kSteamApp = "steamapps/common/X-Plane 12";

class Locator : public ::testing::Test {
 protected:
  TempDir tmp;
  TestPlatform platform{tmp.Path()};
  UsePlatform use{platform};
  const XPlaneDesktop::Table* desktop = &kLinux;

  std::string real(const std::string& logical) { return platform.real(logical); }
  void xplane(const std::string& logical, unsigned markers = kAllMarkers) { makeXPlane(real(logical), markers, *desktop); }
  void registry(const std::string& text) { writeFile(real(listFile()), text); }
  std::string listFile() { return paths::join(platform.home, desktop->listFile); }
  // A link at logical pointing to target, as written (relative targets stay relative).
  void link(const std::string& logical, const std::string& target) {
    fs::create_directories(fs::path(real(logical)).parent_path());
    fs::create_directory_symlink(target, real(logical));
  }
  Names found() {
    Names names;
    for (const XPlaneInstall& install : XPlaneLocator::find(*desktop)) names.push_back(install.displayName());
    return names;
  }
};

class MacLocator : public Locator {
 protected:
  void SetUp() override {
    desktop = &kMac;
    platform.home = "/Users/pilot";
  }
};

}  // namespace

TEST_F(MacLocator, UsualPlacesInTheirOrderAndNothingElse) {
  EXPECT_EQ(found(), Names{});
  xplane("/Users/Shared/X-Plane 12");
  xplane("/Users/pilot/Desktop/X-Plane 12");
  xplane("/Users/pilot/X-Plane 12");
  xplane("/Applications/X-Plane 12");
  xplane("/Users/pilot/.local/share/Steam/" + kSteamApp);
  EXPECT_EQ(found(), (Names{"/Applications/X-Plane 12", "/Users/pilot/X-Plane 12", "/Users/pilot/Desktop/X-Plane 12",
                            "/Users/Shared/X-Plane 12"}));
  EXPECT_EQ(listFile(), "/Users/pilot/Library/Preferences/x-plane_install_12.txt");
  EXPECT_EQ(kMac.application, "X-Plane.app");
}

TEST_F(MacLocator, TrailingSeparatorInTheListAndAUsualPlaceGiveOneEntryAtTheListsPosition) {
  xplane("/Volumes/Sim/X-Plane 12");
  xplane("/Applications/X-Plane 12");
  registry("/Volumes/Sim/X-Plane 12\n/Applications/X-Plane 12/\n");
  auto installs = XPlaneLocator::find(kMac);
  ASSERT_EQ(installs.size(), 2u);
  EXPECT_EQ(installs[1].displayName(), "/Applications/X-Plane 12");
  EXPECT_EQ(installs[1].url, "/Applications/X-Plane 12");
  EXPECT_EQ(installs[1].id(), installs[1].url);
  EXPECT_EQ(XPlaneInstall{"/"}.displayName(), "/");
}

// The list's rules are the same on every desktop: one table of lines, each run on both.
TEST_F(Locator, ListLinesOnEveryDesktop) {
  struct Case {
    const char* what;
    std::string text;
    Names expected;
  } cases[] = {
      {"trimmed, blank lines dropped", "\n  \t/v/A/X-Plane 12 \t\n   \n\t\n\xC2\xA0/v/B/X-Plane 12\n   ",
       {"/v/A/X-Plane 12", "/v/B/X-Plane 12"}},
      {"dot components name one folder", "/v/A/./o/../X-Plane 12\n/v/A/X-Plane 12\n/v/../v/A/X-Plane 12/.\n",
       {"/v/A/X-Plane 12"}},
      {"relative to the current folder", "sims/X-Plane 12\n", {"/work/sims/X-Plane 12"}},
      {"incomplete and missing folders dropped", "/v/Half/X-Plane 12\n/v/Gone\n/v/B/X-Plane 12\n", {"/v/B/X-Plane 12"}},
      {"junk and a NUL", "not a folder\n/v/A/X-Plane 12\0junk\n/v/B/X-Plane 12"s, {"/v/B/X-Plane 12"}},
      {"not UTF-8: no list", "/v/A/X-Plane 12\n/v/Gr\xFCn\n", {}},
      {"huge: no list", "/v/A/X-Plane 12\n" + std::string(3 << 20, '\n'), {}},
  };
  for (const auto* table : {&kLinux, &kMac}) {
    desktop = table;
    xplane("/v/A/X-Plane 12");
    xplane("/v/B/X-Plane 12");
    xplane("/work/sims/X-Plane 12");
    xplane("/v/Half/X-Plane 12", kApp | kPlugins);
    for (const Case& c : cases) {
      registry(c.text);
      EXPECT_EQ(found(), c.expected) << c.what << " on " << table->application;
    }
    fs::remove_all(real("/v"));
    fs::remove_all(real("/work"));
  }
}

TEST_F(Locator, FolderTestNeedsAllThreeMarkersOfAnyKind) {
  for (const auto* table : {&kLinux, &kMac}) {
    desktop = table;
    for (unsigned markers = 0; markers < kAllMarkers; ++markers) {
      std::string folder = "/v/T" + std::to_string(markers);
      fs::remove_all(real(folder));
      xplane(folder, markers);
      EXPECT_FALSE(XPlaneLocator::isValid(folder, *table)) << "markers " << markers;
    }
    for (const char* item : {"Resources/plugins", "Resources/default data"})
      writeFile(real(paths::join("/v/Files", item)), "");
    fs::create_directories(real(paths::join("/v/Files", table->application)));
    EXPECT_TRUE(XPlaneLocator::isValid("/v/Files", *table)) << table->application;
    fs::remove_all(real("/v"));
  }
  EXPECT_FALSE(XPlaneLocator::isValid("/v/Nothing"));
}

// A Linux pilot's machine: the list file, home, a translated desktop, Steam roots that link to one
// another, Debian's and Flatpak's Steam, and a second library on another disk.
TEST_F(Locator, LinuxPlacesInOrderWithLinkedFoldersListedOnce) {
  const std::string steam = "/home/pilot/.local/share/Steam";
  xplane("/opt/X-Plane 12");
  xplane("/home/pilot/X-Plane 12");
  link("/home/pilot/sims/XP12", "../X-Plane 12");
  xplane("/home/pilot/Schreibtisch/X-Plane 12");
  writeFile(real("/home/pilot/.config/user-dirs.dirs"),
            "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
            "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  xplane("/home/pilot/Desktop/X-Plane 12");  // not the desktop here
  xplane(steam + "/" + kSteamApp);
  link("/home/pilot/.steam/steam", "../.local/share/Steam");
  xplane("/home/pilot/.steam/debian-installation/" + kSteamApp);
  xplane("/home/pilot/.var/app/com.valvesoftware.Steam/.local/share/Steam/" + kSteamApp);
  xplane("/mnt/games/SteamLibrary/" + kSteamApp);
  writeFile(real(steam + "/steamapps/libraryfolders.vdf"),
            "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"/home/pilot/.steam/steam"s +
                "\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"2014780\"\t\t\"0\"\n\t\t}\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" +
                "/mnt/games/SteamLibrary\"\n\t}\n}\n");
  registry("/opt/X-Plane 12/\n/home/pilot/sims/XP12/\n");

  EXPECT_EQ(listFile(), "/home/pilot/.x-plane/x-plane_install_12.txt");
  EXPECT_EQ(found(), (Names{"/opt/X-Plane 12", "/home/pilot/sims/XP12", "/home/pilot/Schreibtisch/X-Plane 12",
                            steam + "/" + kSteamApp, "/home/pilot/.steam/debian-installation/" + kSteamApp,
                            "/home/pilot/.var/app/com.valvesoftware.Steam/.local/share/Steam/" + kSteamApp,
                            "/mnt/games/SteamLibrary/" + kSteamApp}));

  // Without a home folder only the absolute places are left, and Linux has none.
  platform.home = "";
  EXPECT_EQ(found(), Names{});
}

TEST_F(Locator, DesktopFolderFromTheXdgSettings) {
  struct Case {
    const char* what;
    std::string userDirs;
    std::string expected;
  } cases[] = {
      {"translated", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n", "/home/pilot/Schreibtisch"},
      {"absolute", "  XDG_DESKTOP_DIR=\"/data/desk top\"\n", "/data/desk top"},
      {"home itself", "XDG_DESKTOP_DIR=\"$HOME/\"\n", "/home/pilot/"},
      {"escaped quote", "XDG_DESKTOP_DIR=\"$HOME/a\\\"b\"\n", "/home/pilot/a\"b"},
      {"last one counts", "XDG_DESKTOP_DIR=\"$HOME/A\"\nXDG_DESKTOP_DIR=\"$HOME/B\"\n", "/home/pilot/B"},
      {"commented out", "#XDG_DESKTOP_DIR=\"$HOME/Desk\"\n", ""},
      {"relative", "XDG_DESKTOP_DIR=\"Desk\"\n", ""},
      {"another variable", "XDG_DESKTOP_DIR=\"$HOMEWORK/x\"\n", ""},
      {"unclosed quote", "XDG_DESKTOP_DIR=\"$HOME/Desk\n", ""},
      {"unquoted", "XDG_DESKTOP_DIR=$HOME/Desk\n", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(XPlaneLocator::xdgDesktop(c.userDirs, "/home/pilot"), c.expected) << c.what;

  // XDG_CONFIG_HOME counts when absolute; a relative one is ignored.
  xplane("/cfg-desk/X-Plane 12");
  xplane("/home/pilot/Desktop/X-Plane 12");
  writeFile(real("/etc-pilot/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"/cfg-desk\"\n");
  platform.env["XDG_CONFIG_HOME"] = "/etc-pilot";
  EXPECT_EQ(found(), Names{"/cfg-desk/X-Plane 12"});
  platform.env["XDG_CONFIG_HOME"] = "etc-pilot";
  EXPECT_EQ(found(), Names{"/home/pilot/Desktop/X-Plane 12"});
}

TEST_F(Locator, SteamLibrariesFromLibraryFoldersVdf) {
  struct Case {
    const char* what;
    std::string vdf;
    Names expected;
  } cases[] = {
      {"two libraries", "\"libraryfolders\" { \"0\" { \"path\" \"/a\" } \"1\" { \"PATH\"\t\"/b c\" } }", {"/a", "/b c"}},
      {"escapes", "\"path\" \"/x\\\\y\\\"z\"", {"/x\\y\"z"}},
      {"comments", "// \"path\" \"/no\"\n\"path\" \"/yes\"", {"/yes"}},
      {"relative and empty dropped", "\"path\" \"rel\" \"path\" \"\" \"path\" \"/ok\"", {"/ok"}},
      {"a block is not a path", "\"path\" { \"path\" \"/inner\" }", {"/inner"}},
      {"unbalanced quote ends the text", "\"path\" \"/a\" \"path\" \"/b", {"/a"}},
      {"a NUL is no path", "\"path\" \"/a\0b\" \"path\" \"/c\""s, {"/c"}},
      {"binary", "\x00\x01path\x00/a\x00\x08\x08\xff\""s, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(XPlaneLocator::steamLibraries(c.vdf), c.expected) << c.what;
}

// The system's own services: the home folder and the XDG settings come from the environment.
TEST(LocatorOnThisMachine, HomeAndDesktopFromTheEnvironment) {
  TempDir home;
  std::optional<std::string> savedHome = SystemPlatform().environment("HOME");
  std::optional<std::string> savedConfig = SystemPlatform().environment("XDG_CONFIG_HOME");
  ::setenv("HOME", home.Path().c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  makeXPlane(home.Path() + "/Bureau/X-Plane 12", kAllMarkers, kLinux);
  writeFile(home.Path() + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
  Names names;
  for (const XPlaneInstall& install : XPlaneLocator::find(kLinux)) names.push_back(install.displayName());
  EXPECT_EQ(names, Names{home.Path() + "/Bureau/X-Plane 12"});
  savedHome ? ::setenv("HOME", savedHome->c_str(), 1) : ::unsetenv("HOME");
  if (savedConfig) ::setenv("XDG_CONFIG_HOME", savedConfig->c_str(), 1);
}
