// The window's state and screen content for every state of the window, with the real install
// engine on temporary X-Plane folders.
#include <gtest/gtest.h>

#include <chrono>

#include "installer.h"
#include "installer_view_state.h"
#include "main_queue.h"
#include "test_support.h"
#include "window_support.h"

using namespace testing_support;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

const std::string kApps = "/home/pilot/X-Plane 12";
const std::string kShared = "/home/pilot/Desktop/X-Plane 12";
const std::string kPayload = "/Installer/Resources/TAVRO";

const std::string kHeading = "heading: TAVRO for X-Plane";
// The texts that name the platform's X-Plane program, as each build shows them.
#if defined(__APPLE__)
const std::string kProgram = "X-Plane.app";
#else
const std::string kProgram = "X-Plane-x86_64";
#endif
const std::string kNotXPlane =
    "error small verbatim: That folder isn't an X-Plane 12 installation. Choose the folder that contains " + kProgram + ".";
const std::string kChooserButtons = "buttons: [Choose X-Plane 12 Folder…] ~ [Install TAVRO, default]";
const std::string kIphone = "secondary: Then open TAVRO on your iPhone — it will find this Mac by itself.";

class Window : public ::testing::Test {
 protected:
  TempDir tmp;
  TestPlatform platform{tmp.Path()};
  UsePlatform use{platform};
  FakePicker picker;
  int quits = 0, changes = 0;
  InstallerViewState state{picker, [this] { ++quits; }, [this] { ++changes; }};

  void SetUp() override {
    MainQueue::shared().drain();
    makePayload(platform.real(kPayload), "plug-in");
    platform.resource = kPayload;
  }
  void xplane(const std::string& logical) { makeXPlane(platform.real(logical)); }
  void installedIn(const std::string& logical) {
    writeFile(platform.real(logical + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile)), "old");
  }
  Lines lines() { return describe(state.content()); }
};

}  // namespace

TEST_F(Window, StartsEmptyAndUnset) {
  EXPECT_TRUE(state.installs.empty());
  EXPECT_FALSE(state.selected.has_value());
  EXPECT_FALSE(state.installed);
  EXPECT_FALSE(state.wasUpdate);
  EXPECT_FALSE(state.error.has_value());
  EXPECT_FALSE(state.working);
  EXPECT_FALSE(state.xplaneRunning);
  EXPECT_FALSE(state.launchError.has_value());
  EXPECT_EQ(state.content().windowTitle, "Install TAVRO");
}

TEST_F(Window, NoInstallFoundUntilAValidFolderIsChosen) {
  state.locate();
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: TAVRO couldn't find X-Plane 12 on this Mac.",
                            "secondary small: Choose the X-Plane 12 folder — the one containing X-Plane.app.",
                            "buttons: [Choose X-Plane 12 Folder…] ~ [Install TAVRO, disabled, default]"}));
  state.install();  // nothing selected: nothing happens
  EXPECT_FALSE(state.error.has_value());

  xplane("/Volumes/Sim/X-Plane 12");
  picker.answers = {"/Volumes/Sim/X-Plane 12/"};
  state.chooseFolder();
  ASSERT_EQ(picker.asked.size(), 1u);
  EXPECT_EQ(picker.asked[0].first, "Choose");
  EXPECT_EQ(picker.asked[0].second, "Select your X-Plane 12 folder — the one containing " + kProgram + ".");
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Found X-Plane 12 here:",
                            "picker: (x) /Volumes/Sim/X-Plane 12", kChooserButtons}));
}

TEST_F(Window, OneInstallIsPreselectedAndReadyToInstall) {
  xplane(kApps);
  state.locate();
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Found X-Plane 12 here:",
                            "picker: (x) /home/pilot/X-Plane 12", kChooserButtons}));
}

TEST_F(Window, SeveralInstallsInTheLocatorsOrderWithTheFirstSelected) {
  xplane(kApps);
  xplane(kShared);
  xplane("/Volumes/Sim/X-Plane 12");
  writeFile(platform.real(paths::join(platform.home, XPlaneDesktop::kThisDesktop.listFile)), "/Volumes/Sim/X-Plane 12\n");
  state.locate();
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Choose your X-Plane 12:",
                            "picker: (x) /Volumes/Sim/X-Plane 12 ( ) /home/pilot/X-Plane 12 ( ) /home/pilot/Desktop/X-Plane 12",
                            kChooserButtons}));
  state.select(2);
  EXPECT_EQ(state.selected->url, kShared);
  state.select(7);  // no such row
  EXPECT_EQ(state.selected->url, kShared);
}

TEST_F(Window, ChoosingAListedFolderSelectsItWithoutASecondRow) {
  xplane(kApps);
  xplane(kShared);
  state.locate();
  picker.answers = {"/home/pilot/../pilot/./Desktop/X-Plane 12/"};
  state.chooseFolder();
  ASSERT_EQ(state.installs.size(), 2u);
  EXPECT_EQ(state.selected->url, kShared);
  EXPECT_EQ(lines()[3], "picker: ( ) /home/pilot/X-Plane 12 (x) /home/pilot/Desktop/X-Plane 12");
}

TEST_F(Window, InvalidFolderShowsTheMessageAndAValidOneClearsIt) {
  xplane(kApps);
  xplane("/Volumes/Sim/X-Plane 12");
  fs::create_directories(platform.real("/Volumes/Empty"));
  writeFile(platform.real("/Volumes/file.txt"), "not a folder");
  state.locate();
  for (const char* bad : {"/Volumes/Empty", "/Volumes/file.txt", "/Volumes/Gone"}) {
    picker.answers = {std::string(bad)};
    state.chooseFolder();
    EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Found X-Plane 12 here:",
                              "picker: (x) /home/pilot/X-Plane 12", kNotXPlane, kChooserButtons}))
        << bad;
  }
  state.select(0);  // a change of selection keeps the message
  EXPECT_TRUE(state.error.has_value());

  picker.answers = {std::nullopt};  // cancelled: nothing changes, the message stays
  state.chooseFolder();
  EXPECT_EQ(lines()[4], kNotXPlane);
  EXPECT_EQ(state.installs.size(), 1u);

  picker.answers = {"/Volumes/Sim/X-Plane 12"};
  state.chooseFolder();
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Choose your X-Plane 12:",
                            "picker: ( ) /home/pilot/X-Plane 12 (x) /Volumes/Sim/X-Plane 12", kChooserButtons}));
}

TEST_F(Window, FreshInstallShowsTheSuccessScreenWithOpenXPlane) {
  xplane(kApps);
  state.locate();
  state.install();
  EXPECT_FALSE(state.working);
  EXPECT_TRUE(fs::exists(platform.real(kApps + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile))));
  EXPECT_EQ(lines(), (Lines{"screen: success, spacing 14", kHeading, "title: TAVRO is installed.",
                            "body: Open X-Plane 12 and TAVRO will be ready.", kIphone,
                            "buttons: ~ [Done] [Open X-Plane, default]"}));
}

TEST_F(Window, AlreadyInstalledReadsReplaceThenUpdated) {
  xplane(kApps);
  installedIn(kApps);
  state.locate();
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Found X-Plane 12 here:",
                            "picker: (x) /home/pilot/X-Plane 12",
                            "secondary small: TAVRO is already installed here. Installing again will replace it.",
                            "buttons: [Choose X-Plane 12 Folder…] ~ [Replace TAVRO, default]"}));
  state.install();
  EXPECT_TRUE(state.wasUpdate);
  EXPECT_EQ(lines()[2], "title: TAVRO has been updated.");
}

TEST_F(Window, XPlaneRunningAsksForARestartAndOffersOnlyDone) {
  xplane(kApps);
  xplane(kShared);
  platform.running = std::vector<RunningApplication>{{std::nullopt, std::nullopt, platform.identity(Installer::xplaneApp(kShared))},
                                                     {std::nullopt, std::nullopt, platform.identity(Installer::xplaneApp(kApps))}};
  state.locate();
  state.install();
  EXPECT_EQ(lines(), (Lines{"screen: success, spacing 14", kHeading, "title: TAVRO is installed.",
                            "body: X-Plane 12 is open. Quit it completely and open it again, so TAVRO is loaded.",
                            kIphone, "buttons: ~ [Done]"}));
  state.perform(Action::done);
  EXPECT_EQ(quits, 1);
}

TEST_F(Window, OpeningXPlaneQuitsOnceItOpens) {
  xplane(kApps);
  makeProgram(platform.real(kApps), "/bin/true");  // really started, and gone at once
  state.locate();
  state.install();
  state.openXPlane();
  EXPECT_EQ(platform.opened, std::vector<std::string>{Installer::xplaneApp(kApps)});
  EXPECT_EQ(quits, 0);  // the completion arrives later, on the main queue
  MainQueue::shared().waitAndDrain(5s);
  EXPECT_EQ(quits, 1);
}

TEST_F(Window, FailedOpenShowsTheLaunchTextAndTheNextTryClearsItFirst) {
  xplane(kApps);
  state.locate();
  state.install();
  platform.openResult = std::optional<std::string>("The application can't be opened. -10810");
  state.openXPlane();
  MainQueue::shared().waitAndDrain(5s);
  EXPECT_EQ(quits, 0);
  EXPECT_EQ(lines(), (Lines{"screen: success, spacing 14", kHeading, "title: TAVRO is installed.",
                            "body: Open X-Plane 12 and TAVRO will be ready.", kIphone,
                            "error small verbatim: TAVRO couldn't open X-Plane 12. Open it yourself and TAVRO will be ready.",
                            "buttons: ~ [Done] [Open X-Plane, default]"}));
  int before = changes;
  state.openXPlane();
  EXPECT_FALSE(state.launchError.has_value());
  EXPECT_GT(changes, before);
  MainQueue::shared().waitAndDrain(5s);
  EXPECT_TRUE(state.launchError.has_value());
}

TEST_F(Window, OpeningAnXPlaneThatIsNotThereFailsThroughTheRealPlatform) {
  xplane(kApps);
  state.locate();
  state.install();
  state.openXPlane();  // the fake folder's program is an empty file that cannot be run
  MainQueue::shared().waitAndDrain(5s);
  EXPECT_EQ(state.launchError, "TAVRO couldn't open X-Plane 12. Open it yourself and TAVRO will be ready.");
}

TEST_F(Window, CompletionAfterTheWindowHasGoneIsDropped) {
  xplane(kApps);
  platform.openResult = std::optional<std::string>("late");
  {
    InstallerViewState gone{picker, [this] { ++quits; }};
    gone.locate();
    gone.openXPlane();
  }
  EXPECT_EQ(MainQueue::shared().waitAndDrain(5s), 1u);
  EXPECT_EQ(quits, 0);
}

TEST_F(Window, VerifyFailureAfterAReplaceDropsTheNoteAndKeepsTheChooser) {
  xplane(kApps);
  xplane(kShared);
  installedIn(kShared);
  state.locate();
  state.select(1);
  makePayload(platform.real(kPayload), "");
  state.install();
  EXPECT_FALSE(state.installed);
  EXPECT_FALSE(state.working);
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Choose your X-Plane 12:",
                            "picker: ( ) /home/pilot/X-Plane 12 (x) /home/pilot/Desktop/X-Plane 12",
                            "error small verbatim: TAVRO was copied but didn't look right afterwards, so it was "
                            "removed. Please try again.",
                            kChooserButtons}));
}

TEST_F(Window, MissingPayloadIsShownAtOnceAndAgainOnInstall) {
  xplane(kApps);
  platform.resource.reset();
  const std::string damaged =
      "error small verbatim: This installer is damaged — the TAVRO add-on is missing. Please download TAVRO again.";
  state.locate();
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Found X-Plane 12 here:",
                            "picker: (x) /home/pilot/X-Plane 12", damaged, kChooserButtons}));
  state.install();
  EXPECT_EQ(lines(), (Lines{"screen: chooser, spacing 16", kHeading, "body: Found X-Plane 12 here:",
                            "picker: (x) /home/pilot/X-Plane 12", damaged, kChooserButtons}));
  EXPECT_FALSE(fs::exists(platform.real(kApps + "/Resources/plugins/TAVRO")));
}

TEST_F(Window, FolderThatVanishedBeforeTheInstallGetsTheNotXPlaneText) {
  xplane(kApps);
  state.locate();
  fs::remove_all(platform.real(kApps));
  state.install();
  EXPECT_EQ(lines()[4], kNotXPlane);
  EXPECT_EQ(state.selected->url, kApps);
}

TEST_F(Window, UnwritableFolderMessageAndTheNextInstallClearsIt) {
  xplane(kApps);
  state.locate();
  platform.writable = false;
  state.install();
  EXPECT_EQ(state.error,
            "TAVRO doesn't have permission to change that X-Plane folder. Try a copy of X-Plane in your home folder, "
            "or check the folder's permissions.");
  platform.writable.reset();
  state.install();
  EXPECT_FALSE(state.error.has_value());
  EXPECT_TRUE(state.installed);
}
