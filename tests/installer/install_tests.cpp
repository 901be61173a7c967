// The install engine on real folders, one row per way an install goes: what it reports, byte for byte,
// and what it leaves on disk. Rows with a fault of the real file system (a plug-ins folder that fills
// up, one that is read-only or not this user's to change, a destination the system will not replace,
// payload files that cannot be read, a destination that is a file or a link, an earlier install on an
// overlay's lower layer, an installer killed between its copy and its move) print "fault case NAME:
// ran" or "... skipped: WHY", as they need a mount or another user that the machine may not allow.
//
// The program enters a private mount namespace before any test runs, so that its mounts are seen by no
// other process and vanish with it.
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>

#include "test_support.h"

using namespace testing_support;

namespace {

using Skip = std::optional<std::string>;  // why a row cannot run here, or nothing

const std::string kPlugin = std::string(Installer::pluginFile);
const std::string kOk = "ok\n";
const std::string kCopyFailed = "copyFailed\nTAVRO couldn't be installed: ";
const std::string kNoSpace = kCopyFailed + "There isn't enough space on the disk. (TAVRO/" + kPlugin + ")\n";
const std::string kInUse = kCopyFailed + "The item is in use. (TAVRO)\n";
const std::string kMissing = "payloadMissing\n" + kDamaged + "\n";
const std::string kVerify = "verifyFailed\n" + kVerifyFailed + "\n";
const std::string kNotXPlane = "notXPlane\n" + std::string(XPlaneDesktop::kThisDesktop.notXPlane) + "\n";
const std::string kPluginsUnwritable = "pluginsUnwritable\n" + kUnwritable + "\n";

// Installs into the folder: "ok", or the error's case and its description, each line ended.
std::string installOutcome(const std::string& xplaneFolder) {
  static const char* const kCases[] = {"copyFailed", "payloadMissing", "notXPlane", "pluginsUnwritable",
                                       "verifyFailed"};
  try {
    Installer::install(xplaneFolder);
    return "ok\n";
  } catch (const InstallError& e) {
    return std::string(kCases[static_cast<int>(e.which())]) + "\n" + e.errorDescription() + "\n";
  }
}

Skip noMountsBecause;  // set by main when no private mount namespace could be made

std::uint64_t freeBlocks(const std::string& path) {
  struct statvfs st {};
  return ::statvfs(path.c_str(), &st) == 0 ? st.f_bfree : 0;
}

// What an install leaves of the add-on: as its outcome says, none, the old one set aside under the
// staging name, or not checked (a clean-up failed too).
enum class Left { byOutcome, noAddOn, setAside, unchecked };

struct Install : ::testing::Test {
  TempDir tmp;
  std::string xplane = tmp.Path() + "/X-Plane 12";
  std::string plugins = xplane + "/Resources/plugins";
  std::string destination = plugins + "/TAVRO";
  std::string payload = tmp.Path() + "/Installer/TAVRO";
  TestPlatform platform;  // no root: logical paths are the real ones
  UsePlatform use{platform};
  Names mounted;

  void SetUp() override {
    makeXPlane(xplane);
    makePayload(payload, "new plug-in");
    platform.resource = payload;
  }
  void TearDown() override {
    for (auto it = mounted.rbegin(); it != mounted.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }
  Skip mount(const std::string& source, const std::string& target, const char* type, unsigned long flags,
             const std::string& data = "") {
    if (noMountsBecause) return noMountsBecause;
    if (::mount(source.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) != 0)
      return "mount of " + target + " refused (" + std::strerror(errno) + ")";
    mounted.push_back(target);
    return std::nullopt;
  }
  // Root ignores permission bits, so cases about them install as the unprivileged user "nobody" (uid
  // and gid 65534) in a child process, with the X-Plane folder that user's.
  Skip becomeNobody() {
    if (::geteuid() != 0) return "needs root";
    for (fs::path up = fs::path(tmp.Path()).parent_path(); up != up.root_path(); up = up.parent_path())
      if ((fs::status(up).permissions() & fs::perms::others_exec) == fs::perms::none)
        return "another user cannot reach " + up.string();
    ::chmod(tmp.Path().c_str(), 0755);
    for (const auto& item : fs::recursive_directory_iterator(xplane)) ::lchown(item.path().c_str(), 65534, 65534);
    ::lchown(xplane.c_str(), 65534, 65534);
    return std::nullopt;
  }
  // As "nobody", in a child process that sends its outcome back through a pipe.
  std::string install(bool asNobody) {
    int out[2];
    if (!asNobody || ::pipe(out) != 0) return installOutcome(xplane);
    pid_t child = ::fork();
    if (child == 0) {
      bool nobody = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
      std::string outcome = nobody ? installOutcome(xplane) : "cannot become nobody\n";
      ::_exit(::write(out[1], outcome.data(), outcome.size()) < 0);
    }
    ::close(out[1]);
    std::string outcome;
    char text[512];
    for (ssize_t n; (n = ::read(out[0], text, sizeof text)) > 0;) outcome.append(text, static_cast<std::size_t>(n));
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    return outcome;
  }
  // Everything in the X-Plane folder as it was, but the add-on: after a success the payload as the
  // folder "TAVRO" (no staging folder either), after a failure as it was unless a row says none or
  // the old one set aside under the staging name.
  void expectLeft(Left left, const std::string& outcome, Tree expected) {
    const std::string addOn = "Resources/plugins/TAVRO";
    Tree old;
    std::erase_if(expected, [&](const auto& item) {
      if ((item.first + "/").rfind(addOn + "/", 0) != 0) return false;
      old[item.first.substr(addOn.size())] = item.second;
      return outcome == kOk || left != Left::byOutcome;
    });
    if (outcome == kOk) {
      expected[addOn] = "dir";
      for (const auto& [item, what] : snapshot(payload)) expected[addOn + "/" + item] = what;
    }
    if (left == Left::setAside)
      for (const auto& [item, what] : old) expected[addOn + ".installing-0A1B2C3D.old" + item] = what;
    EXPECT_EQ(snapshot(xplane), expected);
  }
};


// One way an install goes: the machine, the failures the platform is told to give or a fault of the
// real file system, then what the install reports and leaves.
struct Case {
  const char* name;
  std::string outcome;
  bool earlier = false;                     // an earlier install is there
  std::optional<std::string> plugin = {};   // the payload's plug-in bytes instead
  Tree items = {};                          // below the temporary folder: bytes, "gone" or "pipe"
  bool setAside = false;                    // the system refuses the one-step exchange
  std::map<std::string, int> fail = {};     // errno by platform operation or renamed item
  std::string uuid = "";
  std::function<Skip(Install&)> fault = {};  // a fault of the real file system
  Left left = Left::byOutcome;
  bool asNobody = false;                      // root ignores permission bits: installs as "nobody"
  std::function<void(Install&)> repair = {};  // then the same install succeeds
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::string kPluginsAt = "X-Plane 12/Resources/plugins/";
const std::string kPayloadAt = "Installer/TAVRO/";
const std::string kUuid = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";

// The plug-ins folder is a 256 KiB tmpfs and the plug-in file 1 MiB: the copy runs out of space.
auto tmpfsFull = [](bool withEarlier) {
  return [withEarlier](Install& t) -> Skip {
    if (Skip why = t.mount("tavro-full", t.plugins, "tmpfs", 0, "size=256k,mode=0755")) return why;
    if (withEarlier) earlierInstall(t.xplane);
    makePayload(t.payload, std::string(1 << 20, 'x'));
    return std::nullopt;
  };
};
auto smallPayload = [](Install& t) { makePayload(t.payload, std::string(64 << 10, 'x')); };
// The earlier install is a mount point: the system refuses to swap it out, after the staging copy.
auto busyDestination = [](Install& t) { return t.mount(t.destination, t.destination, nullptr, MS_BIND); };
auto destinationFile = [](Install& t) -> Skip {
  writeFile(t.destination, "not a folder");
  return std::nullopt;
};
// A link to a folder elsewhere: the link is replaced, and what it pointed to is not the engine's.
auto destinationLink = [](Install& t) -> Skip {
  writeFile(t.tmp.Path() + "/elsewhere/TAVRO/" + kPlugin, "someone's own build");
  fs::create_directory_symlink(t.tmp.Path() + "/elsewhere/TAVRO", t.destination);
  return std::nullopt;
};
// An overlay whose lower layer holds the earlier install and another plug-in, as in a container image:
// the system can neither swap nor rename that folder, so the old one is copied aside and deleted. All
// layers go on a tmpfs: an upper layer may not be on an overlay.
auto overlay = [](Install& t) -> Skip {
  std::string layers = t.tmp.Path() + "/layers";
  fs::create_directories(layers);
  if (Skip why = t.mount("tavro-layers", layers, "tmpfs", 0, "size=8m,mode=0755")) return why;
  for (const char* layer : {"/lower", "/upper", "/work"}) fs::create_directories(layers + layer);
  writeFile(layers + "/lower/TAVRO/" + kPlugin, "old plug-in");
  writeFile(layers + "/lower/TAVRO/only-in-old.txt", "old");
  writeFile(layers + "/lower/OtherPlugin/lin_x64/OtherPlugin.xpl", "other");
  return t.mount(
      "tavro-overlay", t.plugins, "overlay", 0,
      "lowerdir=" + layers + "/lower,upperdir=" + layers + "/upper,workdir=" + layers + "/work,redirect_dir=off");
};
// A child install stops itself once its staging copy is complete, so the kill lands there every time: that
// leaves its complete staging folder and the earlier install as it was. The next install removes only
// what it made and leaves the other's leftover untouched.
auto killed = [](Install& t) -> Skip {
  Tree earlier = snapshot(t.destination);
  pid_t child = ::fork();
  if (child == 0) {
    t.platform.stopAfterCopy = true;
    ::_exit(installOutcome(t.xplane) == kOk ? 0 : 1);
  }
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, WUNTRACED), child);
  EXPECT_TRUE(WIFSTOPPED(status)) << "the install ended before its copy was complete, status " << status;
  ::kill(child, SIGKILL);
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  Names left = entries(t.plugins);
  std::erase(left, "TAVRO");
  EXPECT_EQ(left.size(), 1u);
  EXPECT_EQ(left.at(0).rfind(Installer::stagingPrefix, 0), 0u) << left.at(0);
  EXPECT_EQ(snapshot(t.plugins + "/" + left.at(0)), snapshot(t.payload));
  EXPECT_EQ(snapshot(t.destination), earlier);
  return std::nullopt;
};

const Case kCases[] = {
    {.name = "fresh", .outcome = kOk},
    {.name = "update_sets_the_old_aside_where_no_exchange", .outcome = kOk, .earlier = true, .setAside = true},
    {.name = "others_staging_folders_stay", .outcome = kOk,
     .items = {{kPluginsAt + "TAVRO.installing-DEADBEEF/" + kPlugin, "half"}}},
    {.name = "taken_staging_name_is_never_deleted",
     .outcome = kCopyFailed + "An item with the same name already exists. (TAVRO)\n",
     .items = {{kPluginsAt + "TAVRO.installing-DEADBEEF/keep", "someone else's"}},
     .uuid = "DEADBEEF-0000-4000-8000-000000000000"},
    {.name = "payload_without_plugin_file", .outcome = kMissing, .earlier = true,
     .items = {{kPayloadAt + kPlugin, "gone"}}},
    {.name = "no_payload_and_not_xplane", .outcome = kMissing,
     .items = {{"Installer", "gone"}, {"X-Plane 12/Resources/default data", "gone"}}},
    {.name = "no_folder_is_not_made", .outcome = kNotXPlane, .items = {{"X-Plane 12", "gone"}}},
    {.name = "verify_failure_after_replace_leaves_no_add_on", .outcome = kVerify, .earlier = true, .plugin = "",
     .left = Left::noAddOn},
    {.name = "plugin_file_is_a_folder", .outcome = kVerify,
     .items = {{kPayloadAt + kPlugin, "gone"}, {kPayloadAt + kPlugin + "/inside", "x"}}},
    {.name = "copy_fails_half_way_on_a_pipe",
     .outcome = kCopyFailed + "The item is of a kind that can't be copied. (TAVRO/zz-pipe)\n", .earlier = true,
     .items = {{kPayloadAt + "zz-pipe", "pipe"}}},
    {.name = "copy_no_permission",
     .outcome = kCopyFailed + "You don't have permission to write in that folder. (TAVRO)\n",
     .fail = {{"copy", EACCES}}},
    {.name = "copy_other_error", .outcome = kCopyFailed + "The operation couldn't be completed. (TAVRO)\n",
     .fail = {{"copy", EOVERFLOW}}},
    {.name = "move_fails", .outcome = kCopyFailed + "An item with the same name already exists. (TAVRO)\n",
     .fail = {{"move", EEXIST}}},
    // A failed move in puts the set-aside old folder back; a failed move back is what the user hears about.
    {.name = "set_aside_move_in_fails", .outcome = kCopyFailed + "The disk couldn't be written. (TAVRO)\n",
     .earlier = true, .setAside = true, .fail = {{"TAVRO.installing-0A1B2C3D", EIO}}, .uuid = kUuid},
    {.name = "set_aside_move_back_fails_too", .outcome = kCopyFailed + "The disk is read-only. (TAVRO)\n",
     .earlier = true, .setAside = true,
     .fail = {{"TAVRO.installing-0A1B2C3D", EIO}, {"TAVRO.installing-0A1B2C3D.old", EROFS}}, .uuid = kUuid,
     .left = Left::setAside},
    // A clean-up that fails too never hides the step's error.
    {.name = "copy_and_clean_up_fail", .outcome = kCopyFailed + "There isn't enough space on the disk. (TAVRO)\n",
     .fail = {{"copy", ENOSPC}, {"remove", EIO}}, .left = Left::unchecked},
    {.name = "verify_and_clean_up_fail", .outcome = kVerify, .plugin = "", .fail = {{"remove", EIO}},
     .left = Left::unchecked},

    {.name = "tmpfs_full_first_install", .outcome = kNoSpace, .fault = tmpfsFull(false), .repair = smallPayload},
    {.name = "tmpfs_full_over_an_earlier_install", .outcome = kNoSpace, .fault = tmpfsFull(true),
     .repair = smallPayload},
    {.name = "read_only_mount", .outcome = kPluginsUnwritable, .earlier = true,
     .fault =
         [](Install& t) {
           if (Skip why = t.mount(t.plugins, t.plugins, nullptr, MS_BIND)) return why;
           return t.mount("", t.plugins, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY);
         }},
    {.name = "plugins_folder_not_this_users", .outcome = kPluginsUnwritable,
     .fault = [](Install& t) { return ::chmod(t.plugins.c_str(), 0555) == 0 ? Skip() : "chmod refused"; },
     .asNobody = true, .repair = [](Install& t) { ::chmod(t.plugins.c_str(), 0755); }},
    {.name = "replace_refused", .outcome = kInUse, .earlier = true, .fault = busyDestination},
    {.name = "replace_refused_set_aside", .outcome = kInUse, .earlier = true, .setAside = true,
     .fault = busyDestination},
    {.name = "unreadable_payload_file",
     .outcome = kCopyFailed + "You don't have permission to read the installer's files. (TAVRO/" + kPlugin + ")\n",
     .earlier = true,
     .fault =
         [](Install& t) { return ::chmod((t.payload + "/" + kPlugin).c_str(), 0) == 0 ? Skip() : "chmod refused"; },
     .asNobody = true, .repair = [](Install& t) { ::chmod((t.payload + "/" + kPlugin).c_str(), 0774); }},
    // A file that opens but whose reading fails, as on a damaged disk: a bind mount of this process's
    // own memory file, whose first page is unmapped, so that read() gives EIO.
    {.name = "payload_read_error",
     .outcome = kCopyFailed + "The installer's files couldn't be read from the disk. (TAVRO/lin_x64/zz-data.bin)\n",
     .earlier = true, .items = {{kPayloadAt + "lin_x64/zz-data.bin", ""}},
     .fault =
         [](Install& t) { return t.mount("/proc/self/mem", t.payload + "/lin_x64/zz-data.bin", nullptr, MS_BIND); }},
    {.name = "destination_file", .outcome = kOk, .fault = destinationFile},
    {.name = "destination_file_set_aside", .outcome = kOk, .setAside = true, .fault = destinationFile},
    {.name = "destination_link", .outcome = kOk, .fault = destinationLink},
    {.name = "destination_link_set_aside", .outcome = kOk, .setAside = true, .fault = destinationLink},
    {.name = "overlay_lower_layer", .outcome = kOk, .fault = overlay},
    {.name = "overlay_lower_layer_set_aside", .outcome = kOk, .setAside = true, .fault = overlay},
    {.name = "killed_between_copy_and_move_first_install", .outcome = kOk, .fault = killed},
    {.name = "killed_between_copy_and_move_over_an_earlier_install", .outcome = kOk, .earlier = true, .fault = killed},
};

struct InstallCase : Install, ::testing::WithParamInterface<Case> {};

}  // namespace

TEST_P(InstallCase, ReportsAndLeaves) {
  const Case& c = GetParam();
  if (c.earlier) earlierInstall(xplane);
  if (c.plugin) makePayload(payload, *c.plugin);
  for (const auto& [item, bytes] : c.items) {
    std::string at = tmp.Path() + "/" + item;
    if (bytes == "gone")
      fs::remove_all(at);
    else if (bytes == "pipe")
      ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0);
    else
      writeFile(at, bytes);
  }
  platform.fail = c.fail;
  if (c.setAside) platform.fail["exchange"] = EINVAL;
  if (!c.uuid.empty()) platform.uuid = c.uuid;
  Skip why = c.fault ? c.fault(*this) : Skip();
  bool nobody = c.asNobody && ::geteuid() == 0;
  if (!why && nobody) why = becomeNobody();
  if (c.fault) std::printf("fault case %s: %s\n", c.name, why ? ("skipped: " + *why).c_str() : "ran");
  if (why) GTEST_SKIP() << *why;

  Tree before = snapshot(xplane), outside = snapshot(tmp.Path() + "/elsewhere");
  std::uint64_t freeBefore = freeBlocks(plugins);
  EXPECT_EQ(Installer::isAlreadyInstalled(xplane), fs::exists(destination));
  std::string outcome = install(nobody);
  EXPECT_EQ(outcome, c.outcome);
  // Only an install that may start copying copies.
  bool mayCopy = outcome == kOk || outcome.rfind("copyFailed", 0) == 0 || outcome == kVerify;
  EXPECT_TRUE(nobody || platform.copiedTo.empty() != mayCopy) << platform.copiedTo.size();
  if (c.left != Left::unchecked) expectLeft(c.left, outcome, before);
  EXPECT_EQ(snapshot(tmp.Path() + "/elsewhere"), outside);
  EXPECT_TRUE(outcome != kNoSpace || freeBlocks(plugins) == freeBefore);  // what the copy took is free again
  if (!c.repair) return;
  // Repaired, the same install succeeds: the fault was the only obstacle.
  c.repair(*this);
  before = snapshot(xplane);
  outcome = install(nobody);
  EXPECT_EQ(outcome, kOk);
  expectLeft(Left::byOutcome, outcome, before);
}

INSTANTIATE_TEST_SUITE_P(RealFileSystem, InstallCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A cause that is not the platform's is worded too. The unreadable-file case words the second, but as
// another user, whose counts a coverage build loses.
TEST(InstallError, EveryCauseIsWorded) {
  EXPECT_EQ(InstallError::readableCause(std::bad_alloc()), "There isn't enough memory.");
  EXPECT_EQ(InstallError::readableCause(PlatformError(EACCES, Access::read, "TAVRO/lin_x64/TAVRO.xpl")),
            "You don't have permission to read the installer's files. (TAVRO/lin_x64/TAVRO.xpl)");
}

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
