// The X-Plane 12 folder test and the search through X-Plane's list and the usual places.
#include <gtest/gtest.h>

#include "test_support.h"
#include "xplane_locator.h"

using namespace testing_support;

namespace {

const char* kRegistry = "/Users/pilot/Library/Preferences/x-plane_install_12.txt";

class Locator : public ::testing::Test {
 protected:
  TempDir tmp;
  TestPlatform platform{tmp.path()};
  UsePlatform use{platform};

  void xplane(const std::string& logical, unsigned markers = kAllMarkers) { makeXPlane(platform.real(logical), markers); }
  void registry(const std::string& text) { writeFile(platform.real(kRegistry), text); }
  std::vector<std::string> found() {
    std::vector<std::string> names;
    for (const XPlaneInstall& install : XPlaneLocator::find()) names.push_back(install.displayName());
    return names;
  }
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(Locator, NothingAnywhereGivesAnEmptyList) { EXPECT_EQ(found(), Names{}); }

TEST_F(Locator, UsualPlacesInTheirOrder) {
  xplane("/Users/Shared/X-Plane 12");
  xplane("/Users/pilot/Desktop/X-Plane 12");
  xplane("/Users/pilot/X-Plane 12");
  xplane("/Applications/X-Plane 12");
  EXPECT_EQ(found(), (Names{"/Applications/X-Plane 12", "/Users/pilot/X-Plane 12", "/Users/pilot/Desktop/X-Plane 12",
                            "/Users/Shared/X-Plane 12"}));
}

TEST_F(Locator, TrailingSeparatorInTheListAndAUsualPlaceGiveOneEntryAtTheListsPosition) {
  xplane("/Volumes/Sim/X-Plane 12");
  xplane("/Applications/X-Plane 12");
  xplane("/Users/pilot/X-Plane 12");
  registry("/Volumes/Sim/X-Plane 12\n/Applications/X-Plane 12/\n");
  auto installs = XPlaneLocator::find();
  ASSERT_EQ(installs.size(), 3u);
  EXPECT_EQ(installs[0].displayName(), "/Volumes/Sim/X-Plane 12");
  EXPECT_EQ(installs[1].displayName(), "/Applications/X-Plane 12");
  EXPECT_EQ(installs[1].url, "/Applications/X-Plane 12");
  EXPECT_EQ(installs[1].id(), installs[1].url);
  EXPECT_EQ(installs[2].displayName(), "/Users/pilot/X-Plane 12");
}

TEST_F(Locator, ListLinesAreTrimmedAndBlankLinesIgnored) {
  xplane("/Volumes/A/X-Plane 12");
  xplane("/Volumes/B/X-Plane 12");
  registry("\n  \t/Volumes/A/X-Plane 12 \t\n   \n\n\t\n\xC2\xA0/Volumes/B/X-Plane 12\n   ");
  EXPECT_EQ(found(), (Names{"/Volumes/A/X-Plane 12", "/Volumes/B/X-Plane 12"}));
}

TEST_F(Locator, DotComponentsNameTheSameFolderOnce) {
  xplane("/Volumes/A/X-Plane 12");
  registry("/Volumes/A/./other/../X-Plane 12\n/Volumes/A/X-Plane 12\n/Volumes/../Volumes/A/X-Plane 12/.\n");
  EXPECT_EQ(found(), Names{"/Volumes/A/X-Plane 12"});
}

TEST_F(Locator, RelativeListPathsAreTakenFromTheCurrentFolder) {
  xplane("/work/sims/X-Plane 12");
  registry("sims/X-Plane 12\n");
  EXPECT_EQ(found(), Names{"/work/sims/X-Plane 12"});
}

TEST_F(Locator, IncompleteFolderIsNotListedEvenAsAUsualPlace) {
  xplane("/Applications/X-Plane 12", kApp | kPlugins);
  registry("/Applications/X-Plane 12\n");
  EXPECT_EQ(found(), Names{});
}

TEST_F(Locator, ListedFolderComesBeforeTheUsualPlaces) {
  xplane("/Users/Shared/X-Plane 12");
  xplane("/Volumes/A/X-Plane 12");
  registry("/Volumes/A/X-Plane 12\n/Volumes/Gone/X-Plane 12\n");
  EXPECT_EQ(found(), (Names{"/Volumes/A/X-Plane 12", "/Users/Shared/X-Plane 12"}));
}

TEST_F(Locator, UnreadableListStillSearchesTheUsualPlaces) {
  xplane("/Volumes/A/X-Plane 12");
  xplane("/Users/Shared/X-Plane 12");
  struct Case {
    const char* what;
    std::function<void()> make;
  } cases[] = {
      {"missing", [] {}},
      {"not UTF-8", [&] { registry("/Volumes/A/X-Plane 12\n/Volumes/Gr\xFCn\n"); }},
      {"huge", [&] { registry("/Volumes/A/X-Plane 12\n" + std::string(3 << 20, '\n')); }},
      {"a folder", [&] { fs::create_directories(platform.real(kRegistry)); }},
      {"empty", [&] { registry(""); }},
  };
  for (const Case& c : cases) {
    fs::remove_all(platform.real(kRegistry));
    c.make();
    EXPECT_EQ(found(), Names{"/Users/Shared/X-Plane 12"}) << c.what;
  }
}

TEST_F(Locator, ManyBlankLinesAndJunkAreDropped) {
  xplane("/Volumes/A/X-Plane 12");
  std::string text;
  for (int i = 0; i < 20000; ++i) text += i % 2 ? " \t \n" : "not a folder\n";
  registry(text + "/Volumes/A/X-Plane 12\n");
  EXPECT_EQ(found(), Names{"/Volumes/A/X-Plane 12"});
}

TEST_F(Locator, FolderTestNeedsAllThreeMarkersOfAnyKind) {
  for (unsigned markers = 0; markers < kAllMarkers; ++markers) {
    std::string folder = "/Volumes/T" + std::to_string(markers);
    xplane(folder, markers);
    EXPECT_FALSE(XPlaneLocator::isValid(folder)) << "markers " << markers;
  }
  writeFile(platform.real("/Volumes/Files/X-Plane.app"), "");
  writeFile(platform.real("/Volumes/Files/Resources/plugins"), "");
  writeFile(platform.real("/Volumes/Files/Resources/default data"), "");
  EXPECT_TRUE(XPlaneLocator::isValid("/Volumes/Files"));
  EXPECT_FALSE(XPlaneLocator::isValid("/Volumes/Nothing"));
}

