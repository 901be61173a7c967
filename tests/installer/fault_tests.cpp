// The install engine against real file-system faults: a plug-ins folder that fills up, one that is
// read-only, a destination the system will not replace, payload files that cannot be read, a
// destination that is a file or a link, an earlier install on an overlay's lower layer, and an
// installer killed between its copy and its move.
//
// The program enters a private mount namespace before any test runs, so that its mounts are seen
// by no other process and vanish with it. Cases that need a mount say why they are skipped where
// the machine allows none; every case prints one line "fault case NAME: ran" or "... skipped: WHY".
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "installer.h"
#include "test_support.h"

using namespace testing_support;

namespace fault_tests {
namespace {

const std::string kHelper = TAVRO_TEST_HELPER;
const std::string kPlugin = std::string(Installer::pluginFile);
const std::string kCopyPrefix = "TAVRO couldn't be installed: ";
const std::string kUUID = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
const std::string kStagingName = std::string(Installer::stagingPrefix) + "0A1B2C3D";

std::optional<std::string> noMountsBecause;  // set by main when no private mount namespace could be made

void enterPrivateMountNamespace() {
  if (::unshare(CLONE_NEWNS) != 0) {
    noMountsBecause = std::string("no private mount namespace here (unshare: ") + std::strerror(errno) +
                      "; mounting needs root or CAP_SYS_ADMIN)";
    return;
  }
  // Without this, mounts made below could propagate back to the machine's own namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    noMountsBecause = std::string("cannot make mounts private (") + std::strerror(errno) + ")";
}

void report(const std::string& name, const std::string& outcome) {
  std::printf("fault case %s: %s\n", name.c_str(), outcome.c_str());
  std::fflush(stdout);
}

using Tree = std::map<std::string, std::string>;

class Fault : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string xplane = tmp.Path() + "/X-Plane 12";
  std::string plugins = xplane + "/Resources/plugins";
  std::string destination = plugins + "/TAVRO";
  std::string payloadDir = tmp.Path() + "/Installer/TAVRO";
  TestPlatform platform;  // no root: logical paths are the real ones
  UsePlatform use{platform};
  std::vector<std::string> mounted;

  void SetUp() override {
    makeXPlane(xplane);
    makePayload(payloadDir, "new plug-in");
    platform.resource = payloadDir;
  }
  void TearDown() override {
    for (auto it = mounted.rbegin(); it != mounted.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }

  // Mounts, or tells why it cannot (the case is then skipped).
  std::optional<std::string> mountHere(const std::string& source, const std::string& target, const char* type,
                                       unsigned long flags, const char* data = nullptr) {
    if (noMountsBecause) return noMountsBecause;
    if (::mount(source.c_str(), target.c_str(), type, flags, data) != 0)
      return "mount of " + target + " refused (" + std::strerror(errno) + ")";
    mounted.push_back(target);
    return std::nullopt;
  }
  // A bind mount of target onto itself, then made read-only.
  std::optional<std::string> readOnlyBind(const std::string& target) {
    if (auto why = mountHere(target, target, nullptr, MS_BIND)) return why;
    if (::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      return "read-only remount of " + target + " refused (" + std::strerror(errno) + ")";
    return std::nullopt;
  }

  void earlierInstall() {
    writeFile(destination + "/" + kPlugin, "old plug-in");
    writeFile(destination + "/only-in-old.txt", "old");
  }
  // Installs, expecting the given failure; returns its description.
  std::string failing(InstallError::Case expected) {
    try {
      Installer::install(xplane);
    } catch (const InstallError& e) {
      EXPECT_EQ(static_cast<int>(e.which()), static_cast<int>(expected)) << e.errorDescription();
      return e.errorDescription();
    }
    ADD_FAILURE() << "install succeeded";
    return "";
  }
  static std::string failure(const char* sentence, const std::string& item) {
    return kCopyPrefix + sentence + " (" + item + ")";
  }
};

#define SKIP_CASE_IF(name, why)              \
  if (auto why_ = (why)) {                   \
    report(name, "skipped: " + *why_);       \
    GTEST_SKIP() << *why_;                   \
  }

std::uint64_t freeBlocks(const std::string& path) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) return 0;
  return st.f_bfree;
}

}  // namespace

// The plug-ins folder is a 256 KiB tmpfs and the plug-in file 1 MiB: the copy runs out of space.
TEST_F(Fault, TmpfsFillsUpDuringTheCopy) {
  SKIP_CASE_IF("tmpfs-full", mountHere("tavro-full", plugins, "tmpfs", 0, "size=256k,mode=0755"));
  report("tmpfs-full", "ran");
  platform.uuid = kUUID;
  makePayload(payloadDir, std::string(1 << 20, 'x'));
  std::string expected = failure("There isn't enough space on the disk.", "TAVRO/" + kPlugin);

  // Over an earlier install: it is untouched, and the space the staging copy took is free again.
  earlierInstall();
  Tree before = snapshot(xplane);
  std::uint64_t freeBefore = freeBlocks(plugins);
  EXPECT_EQ(failing(InstallError::Case::copyFailed), expected);
  EXPECT_EQ(snapshot(xplane), before);
  EXPECT_EQ(freeBlocks(plugins), freeBefore);

  // A first install: nothing at all is left in the plug-ins folder.
  fs::remove_all(destination);
  freeBefore = freeBlocks(plugins);
  EXPECT_EQ(failing(InstallError::Case::copyFailed), expected);
  EXPECT_EQ(entries(plugins), std::vector<std::string>{});
  EXPECT_EQ(freeBlocks(plugins), freeBefore);

  // The same folder takes a payload that fits: the failure above was the space and nothing else.
  makePayload(payloadDir, std::string(64 << 10, 'x'));
  Installer::install(xplane);
  EXPECT_EQ(entries(plugins), std::vector<std::string>{"TAVRO"});
  EXPECT_EQ(snapshot(destination), snapshot(payloadDir));
}

// The plug-ins folder is on a read-only mount: even root may not write there.
TEST_F(Fault, ReadOnlyPluginsFolderIsUnwritable) {
  earlierInstall();
  SKIP_CASE_IF("read-only-mount", readOnlyBind(plugins));
  report("read-only-mount", "ran");
  ASSERT_LT(::open((plugins + "/probe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), 0);
  ASSERT_EQ(errno, EROFS);
  Tree before = snapshot(xplane);
  EXPECT_EQ(failing(InstallError::Case::pluginsUnwritable),
            InstallError::pluginsUnwritable().errorDescription());
  EXPECT_EQ(snapshot(xplane), before);
  EXPECT_TRUE(platform.copiedTo.empty());
}

// The earlier install is a mount point: the system refuses to swap it out, after the staging copy
// is complete. The staging copy goes and the earlier install stays as it was.
TEST_F(Fault, DestinationTheSystemWillNotReplace) {
  earlierInstall();
  SKIP_CASE_IF("replace-refused", mountHere(destination, destination, nullptr, MS_BIND));
  report("replace-refused", "ran");
  platform.uuid = kUUID;
  Tree before = snapshot(xplane);
  for (bool refuseExchange : {false, true}) {
    SCOPED_TRACE(refuseExchange ? "set-aside replacement" : "one-step swap");
    platform.refuseExchange = refuseExchange;
    EXPECT_EQ(failing(InstallError::Case::copyFailed), failure("The item is in use.", "TAVRO"));
    EXPECT_EQ(platform.copiedTo.back(), plugins + "/" + kStagingName);
    EXPECT_EQ(entries(plugins), std::vector<std::string>{"TAVRO"});
    EXPECT_EQ(snapshot(xplane), before);
  }
}

// The plug-in file's permissions let nobody read it, and the installer does not run as root.
TEST_F(Fault, PayloadFileWithoutReadPermission) {
  std::string plugin = payloadDir + "/" + kPlugin;
  earlierInstall();
  ::chmod(plugin.c_str(), 0);
  std::string expected = failure("You don't have permission to read the installer's files.", "TAVRO/" + kPlugin);
  if (::geteuid() != 0) {
    report("unreadable-file", "ran (as this user)");
    Tree before = snapshot(xplane);
    EXPECT_EQ(failing(InstallError::Case::copyFailed), expected);
    EXPECT_EQ(snapshot(xplane), before);
    return;
  }
  SKIP_CASE_IF("unreadable-file", whyNotAsNobody(tmp.Path()));
  report("unreadable-file", "ran (as nobody)");
  ::chmod(tmp.Path().c_str(), 0755);
  std::string helper = tmp.Path() + "/helper";
  fs::copy_file(kHelper, helper);
  ::chmod(helper.c_str(), 0755);
  for (const auto& item : fs::recursive_directory_iterator(xplane))
    ASSERT_EQ(::lchown(item.path().c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::lchown(xplane.c_str(), kNobody, kNobody), 0);
  Tree before = snapshot(xplane);
  EXPECT_EQ(runAsNobody(helper, {"install", payloadDir, xplane}), "copyFailed\n" + expected + "\n");
  EXPECT_EQ(snapshot(xplane), before);

  // Readable again, the same user installs: the permission was the only obstacle.
  ::chmod(plugin.c_str(), 0644);
  EXPECT_EQ(runAsNobody(helper, {"install", payloadDir, xplane}), "ok\n");
  EXPECT_EQ(snapshot(destination), snapshot(payloadDir));
}

// A payload file that opens but whose reading fails, as on a damaged disk: a bind mount of this
// process's own memory file, whose first page is unmapped, so that read() gives EIO.
TEST_F(Fault, PayloadFileWhoseReadFails) {
  std::string damaged = payloadDir + "/lin_x64/zz-data.bin";
  writeFile(damaged, "");
  earlierInstall();
  SKIP_CASE_IF("read-error", mountHere("/proc/self/mem", damaged, nullptr, MS_BIND));
  report("read-error", "ran");
  Tree before = snapshot(xplane);
  EXPECT_EQ(failing(InstallError::Case::copyFailed), failure("The installer's files couldn't be read from the disk.", "TAVRO/lin_x64/zz-data.bin"));
  EXPECT_EQ(snapshot(xplane), before);
}

// "Resources/plugins/TAVRO" is a regular file: it counts as installed and is replaced by the folder.
TEST_F(Fault, DestinationIsAFile) {
  report("destination-file", "ran");
  for (bool refuseExchange : {false, true}) {
    SCOPED_TRACE(refuseExchange ? "set-aside replacement" : "one-step swap");
    platform.refuseExchange = refuseExchange;
    fs::remove_all(destination);
    writeFile(destination, "not a folder");
    EXPECT_TRUE(Installer::isAlreadyInstalled(xplane));
    Installer::install(xplane);
    EXPECT_EQ(entries(plugins), std::vector<std::string>{"TAVRO"});
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(destination)));
    EXPECT_EQ(snapshot(destination), snapshot(payloadDir));
  }
}

// "Resources/plugins/TAVRO" is a link to a folder elsewhere: the link is replaced, and what it
// pointed to is not the engine's to delete.
TEST_F(Fault, DestinationIsALinkToAFolderElsewhere) {
  report("destination-link", "ran");
  std::string elsewhere = tmp.Path() + "/elsewhere/TAVRO";
  for (bool refuseExchange : {false, true}) {
    SCOPED_TRACE(refuseExchange ? "set-aside replacement" : "one-step swap");
    platform.refuseExchange = refuseExchange;
    fs::remove_all(destination);
    writeFile(elsewhere + "/" + kPlugin, "someone's own build");
    Tree outside = snapshot(tmp.Path() + "/elsewhere");
    fs::create_directory_symlink(elsewhere, destination);
    Installer::install(xplane);
    EXPECT_EQ(entries(plugins), std::vector<std::string>{"TAVRO"});
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(destination)));
    EXPECT_EQ(snapshot(destination), snapshot(payloadDir));
    EXPECT_EQ(snapshot(tmp.Path() + "/elsewhere"), outside);
  }
}

// The plug-ins folder is an overlay whose lower layer holds the earlier install, as in a container
// image: the system can neither swap nor rename that folder. The old folder is copied aside and
// deleted instead; afterwards the plug-ins folder holds the new install and nothing else.
TEST_F(Fault, EarlierInstallOnAnOverlaysLowerLayer) {
  std::string layers = tmp.Path() + "/layers";
  fs::create_directories(layers);
  // The upper layer must not itself be on an overlay: all layers go on a tmpfs.
  SKIP_CASE_IF("overlay-lower-layer", mountHere("tavro-layers", layers, "tmpfs", 0, "size=8m,mode=0755"));
  for (bool refuseExchange : {false, true}) {
    SCOPED_TRACE(refuseExchange ? "set-aside replacement" : "whatever the system does");
    std::string run = layers + (refuseExchange ? "/b" : "/a");
    for (const char* layer : {"/lower", "/upper", "/work"}) fs::create_directories(run + layer);
    writeFile(run + "/lower/TAVRO/" + kPlugin, "old plug-in");
    writeFile(run + "/lower/TAVRO/only-in-old.txt", "old");
    writeFile(run + "/lower/OtherPlugin/lin_x64/OtherPlugin.xpl", "other");
    std::string options = "lowerdir=" + run + "/lower,upperdir=" + run + "/upper,workdir=" + run + "/work,redirect_dir=off";
    SKIP_CASE_IF("overlay-lower-layer", mountHere("tavro-overlay", plugins, "overlay", 0, options.c_str()));
    if (!refuseExchange) report("overlay-lower-layer", "ran");
    platform.refuseExchange = refuseExchange;
    Installer::install(xplane);
    EXPECT_EQ(entries(plugins), (std::vector<std::string>{"OtherPlugin", "TAVRO"}));
    EXPECT_EQ(snapshot(destination), snapshot(payloadDir));
    ::umount2(plugins.c_str(), MNT_DETACH);
    mounted.pop_back();
  }
}

// The installer is killed after its staging copy is complete and before the move; the helper stops
// itself at that point, so the kill lands there every time. Its staging folder stays behind; the
// next install succeeds, removes only what it made, and leaves the other's leftover untouched.
TEST_F(Fault, KillBetweenCopyAndMove) {
  report("kill-between-copy-and-move", "ran");
  for (bool update : {false, true}) {
    SCOPED_TRACE(update ? "over an earlier install" : "first install");
    fs::remove_all(plugins);
    fs::create_directories(plugins);
    if (update) earlierInstall();
    Tree earlier = snapshot(destination);

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, STDOUT_FILENO);
      ::execl(kHelper.c_str(), kHelper.c_str(), "install-stop", payloadDir.c_str(), xplane.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status)) << "the helper ended before its copy was complete, status " << status;
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // What the killed install left: its complete staging folder, the earlier install as it was.
    std::vector<std::string> left = entries(plugins);
    std::erase(left, "TAVRO");
    ASSERT_EQ(left.size(), 1u);
    std::string leftover = left[0];
    ASSERT_EQ(leftover.rfind(Installer::stagingPrefix, 0), 0u) << leftover;
    Tree staged = snapshot(plugins + "/" + leftover);
    EXPECT_EQ(staged, snapshot(payloadDir));
    EXPECT_EQ(snapshot(destination), earlier);

    Installer::install(xplane);
    ASSERT_EQ(platform.copiedTo.size(), update ? 2u : 1u);
    EXPECT_NE(fs::path(platform.copiedTo.back()).filename(), leftover);
    EXPECT_EQ(entries(plugins), (std::vector<std::string>{"TAVRO", leftover}));
    EXPECT_EQ(snapshot(destination), snapshot(payloadDir));
    EXPECT_EQ(snapshot(plugins + "/" + leftover), staged);
  }
}

}  // namespace fault_tests

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  fault_tests::enterPrivateMountNamespace();
  return RUN_ALL_TESTS();
}
