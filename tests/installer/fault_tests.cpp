// The install engine against real file-system faults, one row each: a plug-ins folder that fills
// up, one that is read-only or not this user's to change, a destination the system will not replace,
// payload files that cannot be read, a destination that is a file or a link, an earlier install on
// an overlay's lower layer, and an installer killed between its copy and its move.
//
// The program enters a private mount namespace before any test runs, so that its mounts are seen
// by no other process and vanish with it. Rows that need a mount or another user say why they are
// skipped where the machine allows neither; every row prints "fault case NAME: ran" or "... skipped: WHY".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>

#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kHelper = TAVRO_TEST_HELPER;
const std::string kPlugin = std::string(Installer::pluginFile);
const std::string kCopyFailed = "copyFailed\nTAVRO couldn't be installed: ";

std::optional<std::string> noMountsBecause;  // set by main when no private mount namespace could be made

struct Fault : ::testing::Test {
  TempDir tmp;
  std::string xplane = tmp.Path() + "/X-Plane 12";
  std::string plugins = xplane + "/Resources/plugins";
  std::string destination = plugins + "/TAVRO";
  std::string payload = tmp.Path() + "/Installer/TAVRO";
  TestPlatform platform;  // no root: logical paths are the real ones
  UsePlatform use{platform};
  std::vector<std::string> mounted;

  void SetUp() override {
    makeXPlane(xplane);
    makePayload(payload, "new plug-in");
    platform.resource = payload;
  }
  void TearDown() override {
    for (auto it = mounted.rbegin(); it != mounted.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }
  // Mounts, or tells why it cannot (the row is then skipped).
  std::optional<std::string> mount(const std::string& source, const std::string& target, const char* type,
                                   unsigned long flags, const std::string& data = "") {
    if (noMountsBecause) return noMountsBecause;
    if (::mount(source.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) != 0)
      return "mount of " + target + " refused (" + std::strerror(errno) + ")";
    mounted.push_back(target);
    return std::nullopt;
  }
  // An install killed after its staging copy and before its move.
  std::optional<std::string> killBetweenCopyAndMove() {
    Tree earlier = snapshot(destination);
    pid_t child = ::fork();
    if (child == 0) {
      ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
      ::execl(kHelper.c_str(), kHelper.c_str(), "install-stop", payload.c_str(), xplane.c_str(), nullptr);
      ::_exit(127);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, WUNTRACED), child);
    EXPECT_TRUE(WIFSTOPPED(status)) << "the helper ended before its copy was complete, status " << status;
    ::kill(child, SIGKILL);
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    // What the killed install left: its complete staging folder, the earlier install as it was.
    std::vector<std::string> left = entries(plugins);
    std::erase(left, "TAVRO");
    EXPECT_EQ(left.size(), 1u);
    EXPECT_EQ(left.at(0).rfind(Installer::stagingPrefix, 0), 0u) << left.at(0);
    EXPECT_EQ(snapshot(plugins + "/" + left.at(0)), snapshot(payload));
    EXPECT_EQ(snapshot(destination), earlier);
    return std::nullopt;
  }
};

std::uint64_t freeBlocks(const std::string& path) {
  struct statvfs st {};
  return ::statvfs(path.c_str(), &st) == 0 ? st.f_bfree : 0;
}

struct Case {
  const char* name;
  // Makes the fault; why the row cannot run here, or nothing.
  std::function<std::optional<std::string>(Fault&)> make;
  std::string outcome;
  bool asNobody = false;                        // root ignores permission bits: installs as "nobody"
  std::function<void(Fault&)> repair = {};      // then the same install succeeds
  bool refuseExchange = false;                  // the set-aside replacement instead of the one-step swap
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::string kNoSpace = kCopyFailed + "There isn't enough space on the disk. (TAVRO/" + kPlugin + ")\n";
// The plug-ins folder is a 256 KiB tmpfs and the plug-in file 1 MiB: the copy runs out of space.
auto tmpfsFull(bool earlier) {
  return [earlier](Fault& t) -> std::optional<std::string> {
    if (auto why = t.mount("tavro-full", t.plugins, "tmpfs", 0, "size=256k,mode=0755")) return why;
    if (earlier) earlierInstall(t.xplane);
    makePayload(t.payload, std::string(1 << 20, 'x'));
    return std::nullopt;
  };
}
auto smallPayload = [](Fault& t) { makePayload(t.payload, std::string(64 << 10, 'x')); };
// The earlier install is a mount point: the system refuses to swap it out, after the staging copy.
auto busyDestination = [](Fault& t) {
  earlierInstall(t.xplane);
  return t.mount(t.destination, t.destination, nullptr, MS_BIND);
};
auto destinationFile = [](Fault& t) -> std::optional<std::string> {
  writeFile(t.destination, "not a folder");
  return std::nullopt;
};
// A link to a folder elsewhere: the link is replaced, and what it pointed to is not the engine's.
auto destinationLink = [](Fault& t) -> std::optional<std::string> {
  writeFile(t.tmp.Path() + "/elsewhere/TAVRO/" + kPlugin, "someone's own build");
  fs::create_directory_symlink(t.tmp.Path() + "/elsewhere/TAVRO", t.destination);
  return std::nullopt;
};
// The plug-ins folder is an overlay whose lower layer holds the earlier install and another plug-in,
// as in a container image: the system can neither swap nor rename that folder, so the old one is
// copied aside and deleted. All layers go on a tmpfs: an upper layer may not be on an overlay.
auto overlay = [](Fault& t) -> std::optional<std::string> {
  std::string layers = t.tmp.Path() + "/layers";
  fs::create_directories(layers);
  if (auto why = t.mount("tavro-layers", layers, "tmpfs", 0, "size=8m,mode=0755")) return why;
  for (const char* layer : {"/lower", "/upper", "/work"}) fs::create_directories(layers + layer);
  writeFile(layers + "/lower/TAVRO/" + kPlugin, "old plug-in");
  writeFile(layers + "/lower/TAVRO/only-in-old.txt", "old");
  writeFile(layers + "/lower/OtherPlugin/lin_x64/OtherPlugin.xpl", "other");
  return t.mount("tavro-overlay", t.plugins, "overlay", 0,
                 "lowerdir=" + layers + "/lower,upperdir=" + layers + "/upper,workdir=" + layers + "/work,redirect_dir=off");
};

const Case kCases[] = {
    {"tmpfs_full_first_install", tmpfsFull(false), kNoSpace, false, smallPayload},
    {"tmpfs_full_over_an_earlier_install", tmpfsFull(true), kNoSpace, false, smallPayload},
    {"read_only_mount",
     [](Fault& t) {
       earlierInstall(t.xplane);
       if (auto why = t.mount(t.plugins, t.plugins, nullptr, MS_BIND)) return why;
       return t.mount("", t.plugins, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY);
     },
     "pluginsUnwritable\n" + InstallError::pluginsUnwritable().errorDescription() + "\n"},
    {"plugins_folder_not_this_users",
     [](Fault& t) -> std::optional<std::string> {
       ::chmod(t.plugins.c_str(), 0555);
       return std::nullopt;
     },
     "pluginsUnwritable\n" + InstallError::pluginsUnwritable().errorDescription() + "\n", true,
     [](Fault& t) { ::chmod(t.plugins.c_str(), 0755); }},
    {"replace_refused", busyDestination, kCopyFailed + "The item is in use. (TAVRO)\n"},
    {"replace_refused_set_aside", busyDestination, kCopyFailed + "The item is in use. (TAVRO)\n", false, {}, true},
    {"unreadable_payload_file",
     [](Fault& t) -> std::optional<std::string> {
       earlierInstall(t.xplane);
       ::chmod((t.payload + "/" + kPlugin).c_str(), 0);
       return std::nullopt;
     },
     kCopyFailed + "You don't have permission to read the installer's files. (TAVRO/" + kPlugin + ")\n", true,
     [](Fault& t) { ::chmod((t.payload + "/" + kPlugin).c_str(), 0644); }},
    // A file that opens but whose reading fails, as on a damaged disk: a bind mount of this process's
    // own memory file, whose first page is unmapped, so that read() gives EIO.
    {"payload_read_error",
     [](Fault& t) {
       writeFile(t.payload + "/lin_x64/zz-data.bin", "");
       earlierInstall(t.xplane);
       return t.mount("/proc/self/mem", t.payload + "/lin_x64/zz-data.bin", nullptr, MS_BIND);
     },
     kCopyFailed + "The installer's files couldn't be read from the disk. (TAVRO/lin_x64/zz-data.bin)\n"},
    {"destination_file", destinationFile, "ok\n"},
    {"destination_file_set_aside", destinationFile, "ok\n", false, {}, true},
    {"destination_link", destinationLink, "ok\n"},
    {"destination_link_set_aside", destinationLink, "ok\n", false, {}, true},
    {"overlay_lower_layer", overlay, "ok\n"},
    {"overlay_lower_layer_set_aside", overlay, "ok\n", false, {}, true},
    // The helper stops itself once its staging copy is complete, so the kill lands there every time;
    // the next install removes only what it made and leaves the other's leftover untouched.
    {"killed_between_copy_and_move_first_install", [](Fault& t) { return t.killBetweenCopyAndMove(); }, "ok\n"},
    {"killed_between_copy_and_move_over_an_earlier_install",
     [](Fault& t) {
       earlierInstall(t.xplane);
       return t.killBetweenCopyAndMove();
     },
     "ok\n"},
};

struct FaultCase : Fault, ::testing::WithParamInterface<Case> {
  // Installs here, or as "nobody" in the helper program when this process is root.
  std::string install() {
    if (!GetParam().asNobody || ::geteuid() != 0) return installOutcome(xplane);
    return runAsNobody(tmp.Path() + "/helper", {"install", payload, xplane});
  }
};

}  // namespace

TEST_P(FaultCase, ReportsAndLeaves) {
  const Case& c = GetParam();
  std::optional<std::string> why = c.make(*this);
  if (!why && c.asNobody && ::geteuid() == 0) {
    why = whyNotAsNobody(tmp.Path());
    if (!why) {
      ::chmod(tmp.Path().c_str(), 0755);
      fs::copy_file(kHelper, tmp.Path() + "/helper");
      ::chmod((tmp.Path() + "/helper").c_str(), 0755);
      for (const auto& item : fs::recursive_directory_iterator(xplane)) ::lchown(item.path().c_str(), kNobody, kNobody);
      ::lchown(xplane.c_str(), kNobody, kNobody);
    }
  }
  std::printf("fault case %s: %s\n", c.name, why ? ("skipped: " + *why).c_str() : "ran");
  if (why) GTEST_SKIP() << *why;

  platform.refuseExchange = c.refuseExchange;
  Tree before = snapshot(xplane), outside = snapshot(tmp.Path() + "/elsewhere");
  std::uint64_t freeBefore = freeBlocks(plugins);
  EXPECT_TRUE(Installer::isAlreadyInstalled(xplane) == fs::exists(destination));
  std::string outcome = install();
  EXPECT_EQ(outcome, c.outcome);
  expectInstallLeft(outcome, xplane, payload, before);
  EXPECT_EQ(snapshot(tmp.Path() + "/elsewhere"), outside);
  if (outcome == kNoSpace) {
    EXPECT_EQ(freeBlocks(plugins), freeBefore);  // what the copy took is free again
  }
  if (!c.repair) return;
  // Repaired, the same install succeeds: the fault was the only obstacle.
  c.repair(*this);
  before = snapshot(xplane);
  outcome = install();
  EXPECT_EQ(outcome, "ok\n");
  expectInstallLeft(outcome, xplane, payload, before);
}

INSTANTIATE_TEST_SUITE_P(RealFileSystem, FaultCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::unshare(CLONE_NEWNS) != 0)
    noMountsBecause = std::string("no private mount namespace here (unshare: ") + std::strerror(errno) +
                      "; mounting needs root or CAP_SYS_ADMIN)";
  // Without this, mounts made below could propagate back to the machine's own namespace.
  else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    noMountsBecause = std::string("cannot make mounts private (") + std::strerror(errno) + ")";
  return RUN_ALL_TESTS();
}
