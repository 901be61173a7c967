// The install engine on real folders: payload, staging, move or replace, verification, and what
// every failure leaves on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "installer.h"
#include "test_support.h"

using namespace testing_support;

// Inside this namespace the fixture's name hides the engine's namespace, reached as ::Installer.
namespace engine_tests {
namespace {

const std::string kXPlane = "/Applications/X-Plane 12";
const std::string kPlugins = kXPlane + "/Resources/plugins";
const std::string kPayload = "/Installer/Resources/TAVRO";
const std::string kPlugin = std::string(::Installer::pluginFile);

class Installer : public ::testing::Test {
 protected:
  TempDir tmp;
  TestPlatform platform{tmp.path()};
  UsePlatform use{platform};

  void SetUp() override {
    makeXPlane(platform.real(kXPlane));
    makePayload(platform.real(kPayload), "new plug-in");
    platform.resource = kPayload;
  }
  std::string real(const std::string& logical) { return platform.real(logical); }
  void earlierInstall() {
    writeFile(real(kPlugins + "/TAVRO/" + kPlugin), "old plug-in");
    writeFile(real(kPlugins + "/TAVRO/only-in-old.txt"), "old");
  }
  // Installs, expecting the given failure; returns its description.
  std::string failing(InstallError::Case expected) {
    try {
      ::Installer::install(kXPlane);
    } catch (const InstallError& e) {
      EXPECT_EQ(static_cast<int>(e.which()), static_cast<int>(expected)) << e.errorDescription();
      return e.errorDescription();
    }
    ADD_FAILURE() << "install succeeded";
    return "";
  }
};

using Tree = std::map<std::string, std::string>;

const std::string kCopyPrefix = "TAVRO couldn't be installed: ";

}  // namespace

TEST_F(Installer, PayloadNeedsItsPluginFile) {
  EXPECT_EQ(::Installer::payload(), kPayload);
  fs::remove(real(kPayload + "/" + kPlugin));
  EXPECT_EQ(::Installer::payload(), std::nullopt);
  platform.resource.reset();
  EXPECT_EQ(::Installer::payload(), std::nullopt);
}

TEST_F(Installer, FreshInstallMovesTheStagedFolderIntoPlace) {
  EXPECT_FALSE(::Installer::isAlreadyInstalled(kXPlane));
  ::Installer::install(kXPlane);
  EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{"TAVRO"});
  EXPECT_EQ(snapshot(real(kPlugins + "/TAVRO")), snapshot(real(kPayload)));
  EXPECT_TRUE(::Installer::isAlreadyInstalled(kXPlane));
}

TEST_F(Installer, UpdateReplacesTheWholeOldFolder) {
  earlierInstall();
  EXPECT_TRUE(::Installer::isAlreadyInstalled(kXPlane));
  ::Installer::install(kXPlane);
  EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{"TAVRO"});
  EXPECT_EQ(snapshot(real(kPlugins + "/TAVRO")), snapshot(real(kPayload)));
}

TEST_F(Installer, StagingNameIsThePrefixAndEightUpperCaseHexDigits) {
  ::Installer::install(kXPlane);
  ::Installer::install(kXPlane);
  ASSERT_EQ(platform.copiedTo.size(), 2u);
  std::regex staging("^TAVRO\\.installing-[0-9A-F]{8}$");
  for (const std::string& to : platform.copiedTo) {
    EXPECT_EQ(fs::path(to).parent_path(), kPlugins);
    EXPECT_TRUE(std::regex_match(fs::path(to).filename().string(), staging)) << to;
  }
  EXPECT_NE(platform.copiedTo[0], platform.copiedTo[1]);
  platform.uuid = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
  ::Installer::install(kXPlane);
  EXPECT_EQ(platform.copiedTo.back(), kPlugins + "/TAVRO.installing-0A1B2C3D");
}

TEST_F(Installer, LeftoverStagingFoldersOfOtherInstallsAreLeftAlone) {
  writeFile(real(kPlugins + "/TAVRO.installing-DEADBEEF/" + kPlugin), "half");
  ::Installer::install(kXPlane);
  EXPECT_EQ(entries(real(kPlugins)), (std::vector<std::string>{"TAVRO", "TAVRO.installing-DEADBEEF"}));
  EXPECT_EQ(readFile(real(kPlugins + "/TAVRO.installing-DEADBEEF/" + kPlugin)), "half");
}

TEST_F(Installer, TakenStagingNameIsNeverDeleted) {
  writeFile(real(kPlugins + "/TAVRO.installing-DEADBEEF/keep"), "someone else's");
  platform.uuid = "DEADBEEF-0000-4000-8000-000000000000";
  Tree before = snapshot(real(kXPlane));
  EXPECT_EQ(failing(InstallError::Case::copyFailed).rfind(kCopyPrefix, 0), 0u);
  EXPECT_EQ(snapshot(real(kXPlane)), before);
}

TEST_F(Installer, PayloadMissingChangesNothing) {
  earlierInstall();
  Tree before = snapshot(real(kXPlane));
  fs::remove(real(kPayload + "/" + kPlugin));
  EXPECT_EQ(failing(InstallError::Case::payloadMissing),
            "This installer is damaged \xE2\x80\x94 the TAVRO add-on is missing. Please download TAVRO again.");
  platform.resource.reset();
  failing(InstallError::Case::payloadMissing);
  EXPECT_EQ(snapshot(real(kXPlane)), before);
}

TEST_F(Installer, NotXPlaneWhenAnyMarkerIsMissing) {
  for (unsigned markers = 0; markers < kAllMarkers; ++markers) {
    fs::remove_all(real(kXPlane));
    makeXPlane(real(kXPlane), markers);
    Tree before = snapshot(real(kXPlane));
    EXPECT_EQ(failing(InstallError::Case::notXPlane), XPlaneDesktop::kThisDesktop.notXPlane);
    EXPECT_EQ(snapshot(real(kXPlane)), before) << "markers " << markers;
  }
  fs::remove_all(real(kXPlane));
  failing(InstallError::Case::notXPlane);
  EXPECT_FALSE(fs::exists(real(kXPlane)));
}

TEST_F(Installer, UnwritablePluginsFolderChangesNothing) {
  earlierInstall();
  Tree before = snapshot(real(kXPlane));
  platform.writable = false;
  EXPECT_EQ(failing(InstallError::Case::pluginsUnwritable),
            "TAVRO doesn't have permission to change that X-Plane folder. Try a copy of X-Plane in your home "
            "folder, or check the folder's permissions.");
  EXPECT_EQ(snapshot(real(kXPlane)), before);
  EXPECT_TRUE(platform.copiedTo.empty());
}

TEST_F(Installer, EmptyPluginIsCopiedThenFailsVerificationAndIsRemoved) {
  makePayload(real(kPayload), "");
  EXPECT_EQ(::Installer::payload(), kPayload);
  EXPECT_EQ(failing(InstallError::Case::verifyFailed),
            "TAVRO was copied but didn't look right afterwards, so it was removed. Please try again.");
  EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{});
  EXPECT_EQ(platform.removed, std::vector<std::string>{kPlugins + "/TAVRO"});
}

TEST_F(Installer, VerifyFailureAfterAReplaceLeavesNoAddOn) {
  earlierInstall();
  makePayload(real(kPayload), "");
  failing(InstallError::Case::verifyFailed);
  EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{});
  EXPECT_FALSE(::Installer::isAlreadyInstalled(kXPlane));
}

TEST_F(Installer, VerifyFailureRemovesDestinationWhenThePluginIsAFolder) {
  fs::remove_all(real(kPayload));
  fs::create_directories(real(kPayload + "/" + kPlugin + "/inside"));
  ASSERT_EQ(::Installer::payload(), kPayload);
  failing(InstallError::Case::verifyFailed);
  EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{});
}

TEST_F(Installer, CopyFailingHalfWayRemovesStagingAndKeepsTheEarlierInstall) {
  earlierInstall();
  Tree before = snapshot(real(kXPlane));
  ASSERT_EQ(::mkfifo(real(kPayload + "/zz-pipe").c_str(), 0644), 0);
  EXPECT_EQ(failing(InstallError::Case::copyFailed),
            kCopyPrefix + "The item is of a kind that can't be copied. (TAVRO/zz-pipe)");
  EXPECT_EQ(snapshot(real(kXPlane)), before);
}

TEST_F(Installer, CopyFailedNamesTheCauseInASentenceWithoutTheSystemsText) {
  struct Case {
    int code;
    const char* expected;
  } cases[] = {
      {ENOSPC, "There isn't enough space on the disk. (TAVRO)"},
      {EACCES, "You don't have permission to write in that folder. (TAVRO)"},
      {EROFS, "The disk is read-only. (TAVRO)"},
      {EIO, "The disk couldn't be written. (TAVRO)"},
      {EOVERFLOW, "The operation couldn't be completed. (TAVRO)"},
  };
  for (const Case& c : cases) {
    platform.copyError = c.code;
    EXPECT_EQ(failing(InstallError::Case::copyFailed), kCopyPrefix + c.expected);
    EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{});  // the half-made staging folder is gone
  }
  EXPECT_EQ(InstallError::readableCause(PlatformError(EACCES, Access::read, "TAVRO/lin_x64/TAVRO.xpl")),
            "You don't have permission to read the installer's files. (TAVRO/lin_x64/TAVRO.xpl)");
  EXPECT_EQ(InstallError::readableCause(std::bad_alloc()), "There isn't enough memory.");
}

TEST_F(Installer, ReplaceFailureRemovesStagingAndLeavesTheDestination) {
  earlierInstall();
  Tree before = snapshot(real(kXPlane));
  platform.replaceError = EBUSY;
  EXPECT_EQ(failing(InstallError::Case::copyFailed), kCopyPrefix + "The item is in use. (TAVRO)");
  EXPECT_EQ(snapshot(real(kXPlane)), before);
}

// Where the system refuses the one-step exchange, the old folder is set aside under the staging
// name; a failed move in puts it back, and a failed move back is what the user hears about.
TEST_F(Installer, FallbackReplaceThatFailsLeavesNoSecondAddOn) {
  platform.refuseExchange = true;
  platform.uuid = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
  earlierInstall();
  Tree before = snapshot(real(kXPlane));
  platform.failingRenames = {{"TAVRO.installing-0A1B2C3D", EIO}};
  EXPECT_EQ(failing(InstallError::Case::copyFailed), kCopyPrefix + "The disk couldn't be written. (TAVRO)");
  EXPECT_EQ(snapshot(real(kXPlane)), before);

  platform.failingRenames["TAVRO.installing-0A1B2C3D.old"] = EROFS;
  EXPECT_EQ(failing(InstallError::Case::copyFailed), kCopyPrefix + "The disk is read-only. (TAVRO)");
  EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{"TAVRO.installing-0A1B2C3D.old"});
  EXPECT_EQ(readFile(real(kPlugins + "/TAVRO.installing-0A1B2C3D.old/" + kPlugin)), "old plug-in");
}

TEST_F(Installer, MoveFailureRemovesStaging) {
  platform.moveError = EEXIST;
  EXPECT_EQ(failing(InstallError::Case::copyFailed), kCopyPrefix + "An item with the same name already exists. (TAVRO)");
  EXPECT_EQ(entries(real(kPlugins)), std::vector<std::string>{});
}

TEST_F(Installer, FailingCleanUpNeverHidesTheStepsError) {
  platform.copyError = ENOSPC;
  platform.removeError = EIO;
  EXPECT_EQ(failing(InstallError::Case::copyFailed), kCopyPrefix + "There isn't enough space on the disk. (TAVRO)");
  platform.copyError.reset();
  makePayload(real(kPayload), "");
  failing(InstallError::Case::verifyFailed);
}

}  // namespace engine_tests
