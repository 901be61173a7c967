// The install engine on real folders, one row per way an install goes: what it reports, byte for
// byte, and what it leaves on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>

#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kXPlane = "/Applications/X-Plane 12";
const std::string kPluginsDir = kXPlane + "/Resources/plugins";
const std::string kPayload = "/Installer/Resources/TAVRO";
const std::string kPlugin = std::string(Installer::pluginFile);
const std::string kCopyFailed = "copyFailed\nTAVRO couldn't be installed: ";
const std::string kMissing =
    "payloadMissing\nThis installer is damaged \u2014 the TAVRO add-on is missing. Please download TAVRO again.\n";
const std::string kVerify =
    "verifyFailed\nTAVRO was copied but didn't look right afterwards, so it was removed. Please try again.\n";
const std::string kNotXPlane = "notXPlane\n" + std::string(XPlaneDesktop::kThisDesktop.notXPlane) + "\n";

struct Engine : ::testing::Test {
  TempDir tmp;
  TestPlatform platform{tmp.Path()};
  UsePlatform use{platform};
  std::string real(const std::string& logical) { return platform.real(logical); }
  void SetUp() override {
    makeXPlane(real(kXPlane));
    makePayload(real(kPayload), "new plug-in");
    platform.resource = kPayload;
  }
};

// What is left afterwards beyond what expectInstallLeft checks.
enum class Left { asBefore, noAddOn, notChecked };

struct Case {
  const char* name;
  std::function<void(Engine&)> make;
  std::string outcome;
  Left left = Left::asBefore;
};

const Case kCases[] = {
    {"fresh", [](Engine&) {}, "ok\n"},
    {"update_replaces_the_whole_folder", [](Engine& t) { earlierInstall(t.real(kXPlane)); }, "ok\n"},
    {"others_staging_folders_stay",
     [](Engine& t) { writeFile(t.real(kPluginsDir + "/TAVRO.installing-DEADBEEF/" + kPlugin), "half"); }, "ok\n"},
    {"taken_staging_name_is_never_deleted",
     [](Engine& t) {
       writeFile(t.real(kPluginsDir + "/TAVRO.installing-DEADBEEF/keep"), "someone else's");
       t.platform.uuid = "DEADBEEF-0000-4000-8000-000000000000";
     },
     kCopyFailed + "An item with the same name already exists. (TAVRO)\n"},
    {"payload_without_plugin_file",
     [](Engine& t) {
       earlierInstall(t.real(kXPlane));
       fs::remove(t.real(kPayload + "/" + kPlugin));
     }, kMissing},
    {"no_payload_and_not_xplane",
     [](Engine& t) {
       t.platform.resource.reset();
       fs::remove(t.real(kXPlane + "/Resources/default data"));
     }, kMissing},
    {"no_default_data", [](Engine& t) { fs::remove(t.real(kXPlane + "/Resources/default data")); }, kNotXPlane},
    {"no_folder_is_not_made", [](Engine& t) { fs::remove_all(t.real(kXPlane)); }, kNotXPlane},
    {"plugins_unwritable",
     [](Engine& t) {
       earlierInstall(t.real(kXPlane));
       t.platform.writable = false;
     },
     "pluginsUnwritable\nTAVRO doesn't have permission to change that X-Plane folder. Try a copy of X-Plane in your "
     "home folder, or check the folder's permissions.\n"},
    {"empty_plugin_fails_verification", [](Engine& t) { makePayload(t.real(kPayload), ""); }, kVerify},
    {"verify_failure_after_replace_leaves_no_add_on",
     [](Engine& t) {
       earlierInstall(t.real(kXPlane));
       makePayload(t.real(kPayload), "");
     }, kVerify, Left::noAddOn},
    {"plugin_file_is_a_folder",
     [](Engine& t) {
       fs::remove_all(t.real(kPayload));
       fs::create_directories(t.real(kPayload + "/" + kPlugin + "/inside"));
     },
     kVerify},
    {"copy_fails_half_way_on_a_pipe",
     [](Engine& t) {
       earlierInstall(t.real(kXPlane));
       ASSERT_EQ(::mkfifo(t.real(kPayload + "/zz-pipe").c_str(), 0644), 0);
     },
     kCopyFailed + "The item is of a kind that can't be copied. (TAVRO/zz-pipe)\n"},
    {"copy_no_space", [](Engine& t) { t.platform.fail = {{"copy", ENOSPC}}; },
     kCopyFailed + "There isn't enough space on the disk. (TAVRO)\n"},
    {"copy_no_permission", [](Engine& t) { t.platform.fail = {{"copy", EACCES}}; },
     kCopyFailed + "You don't have permission to write in that folder. (TAVRO)\n"},
    {"copy_read_only", [](Engine& t) { t.platform.fail = {{"copy", EROFS}}; },
     kCopyFailed + "The disk is read-only. (TAVRO)\n"},
    {"copy_io_error", [](Engine& t) { t.platform.fail = {{"copy", EIO}}; },
     kCopyFailed + "The disk couldn't be written. (TAVRO)\n"},
    {"copy_other_error", [](Engine& t) { t.platform.fail = {{"copy", EOVERFLOW}}; },
     kCopyFailed + "The operation couldn't be completed. (TAVRO)\n"},
    {"replace_refused", [](Engine& t) {
       earlierInstall(t.real(kXPlane));
       t.platform.fail = {{"replace", EBUSY}};
     },
     kCopyFailed + "The item is in use. (TAVRO)\n"},
    {"move_refused", [](Engine& t) { t.platform.fail = {{"move", EEXIST}}; },
     kCopyFailed + "An item with the same name already exists. (TAVRO)\n"},
    // Where the system refuses the one-step exchange, the old folder is set aside under the staging
    // name; a failed move in puts it back, and a failed move back is what the user hears about.
    {"set_aside_move_in_fails",
     [](Engine& t) {
       earlierInstall(t.real(kXPlane));
       t.platform.refuseExchange = true;
       t.platform.uuid = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
       t.platform.failingRenames = {{"TAVRO.installing-0A1B2C3D", EIO}};
     },
     kCopyFailed + "The disk couldn't be written. (TAVRO)\n"},
    {"set_aside_move_back_fails_too",
     [](Engine& t) {
       earlierInstall(t.real(kXPlane));
       t.platform.refuseExchange = true;
       t.platform.uuid = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
       t.platform.failingRenames = {{"TAVRO.installing-0A1B2C3D", EIO}, {"TAVRO.installing-0A1B2C3D.old", EROFS}};
     },
     kCopyFailed + "The disk is read-only. (TAVRO)\n", Left::notChecked},
    // A clean-up that fails too never hides the step's error.
    {"copy_and_clean_up_fail", [](Engine& t) { t.platform.fail = {{"copy", ENOSPC}, {"remove", EIO}}; },
     kCopyFailed + "There isn't enough space on the disk. (TAVRO)\n", Left::notChecked},
    {"verify_and_clean_up_fail",
     [](Engine& t) {
       makePayload(t.real(kPayload), "");
       t.platform.fail = {{"remove", EIO}};
     }, kVerify,
     Left::notChecked},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

struct EngineCase : Engine, ::testing::WithParamInterface<Case> {};

}  // namespace

TEST_P(EngineCase, ReportsAndLeaves) {
  const Case& c = GetParam();
  c.make(*this);
  Tree before = snapshot(real(kXPlane));
  bool hadAddOn = fs::exists(real(kPluginsDir + "/TAVRO"));
  EXPECT_EQ(Installer::isAlreadyInstalled(kXPlane), hadAddOn);
  std::string outcome = installOutcome(kXPlane);
  EXPECT_EQ(outcome, c.outcome);
  // Only an install that may start copying copies.
  EXPECT_EQ(platform.copiedTo.empty(), outcome != "ok\n" && outcome.rfind("copyFailed", 0) != 0 && outcome != kVerify);
  if (c.left == Left::asBefore) expectInstallLeft(outcome, real(kXPlane), real(kPayload), before);
  if (c.left == Left::noAddOn) {
    EXPECT_EQ(entries(real(kPluginsDir)), std::vector<std::string>{});
  }
  if (c.left != Left::notChecked) {
    EXPECT_EQ(Installer::isAlreadyInstalled(kXPlane), outcome == "ok\n" || (hadAddOn && c.left == Left::asBefore));
  }
}

INSTANTIATE_TEST_SUITE_P(Install, EngineCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// After both failed renames the old install stays set aside, whole, under the staging name.
TEST_F(Engine, SetAsideOldInstallSurvivesAFailedMoveBack) {
  std::find_if(std::begin(kCases), std::end(kCases), [](const Case& c) {
    return std::string(c.name) == "set_aside_move_back_fails_too";
  })->make(*this);
  installOutcome(kXPlane);
  EXPECT_EQ(entries(real(kPluginsDir)), std::vector<std::string>{"TAVRO.installing-0A1B2C3D.old"});
  EXPECT_EQ(readFile(real(kPluginsDir + "/TAVRO.installing-0A1B2C3D.old/" + kPlugin)), "old plug-in");
}

TEST_F(Engine, PayloadAndStagingNames) {
  EXPECT_EQ(Installer::payload(), kPayload);
  Installer::install(kXPlane);
  Installer::install(kXPlane);
  platform.uuid = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
  Installer::install(kXPlane);
  ASSERT_EQ(platform.copiedTo.size(), 3u);
  for (const std::string& to : {platform.copiedTo[0], platform.copiedTo[1]})
    EXPECT_TRUE(std::regex_match(to, std::regex("^" + kPluginsDir + "/TAVRO\\.installing-[0-9A-F]{8}$"))) << to;
  EXPECT_NE(platform.copiedTo[0], platform.copiedTo[1]);
  EXPECT_EQ(platform.copiedTo[2], kPluginsDir + "/TAVRO.installing-0A1B2C3D");
  EXPECT_EQ(InstallError::readableCause(PlatformError(EACCES, Access::read, "TAVRO/lin_x64/TAVRO.xpl")),
            "You don't have permission to read the installer's files. (TAVRO/lin_x64/TAVRO.xpl)");
  EXPECT_EQ(InstallError::readableCause(std::bad_alloc()), "There isn't enough memory.");
}
