// X-Plane process control with real processes from fake "X-Plane.app" bundles, the main queue, and
// installing as a user who may not change the plug-ins folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "bundle_info.h"
#include "installer.h"
#include "main_queue.h"
#include "test_support.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

const std::string kHelper = TAVRO_TEST_HELPER;

pid_t start(const std::string& exe, const char* arg) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(exe.c_str(), exe.c_str(), arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// Polls until cond holds or about five seconds passed.
template <typename Cond>
bool eventually(Cond cond) {
  for (int i = 0; i < 500; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return cond();
}

class Process : public ::testing::Test {
 protected:
  TempDir tmp;
  TestPlatform platform;  // the real file system and the real /proc
  UsePlatform use{platform};
  std::string here = tmp.path() + "/Applications/X-Plane 12";
  std::string other = tmp.path() + "/Users/Shared/X-Plane 12";

  void SetUp() override {
    MainQueue::shared().drain();
    makeXPlane(here);
    makeXPlane(other);
  }
};

}  // namespace

TEST(Bundle, ExecutableInsideABundle) {
  struct Case {
    const char* exe;
    std::optional<std::string> bundle;
  } cases[] = {
      {"/A/X-Plane 12/X-Plane.app/Contents/MacOS/X-Plane", "/A/X-Plane 12/X-Plane.app"},
      {"/A/Outer.app/Contents/MacOS/Inner.app/Contents/MacOS/tool", "/A/Outer.app/Contents/MacOS/Inner.app"},
      {"/A/X-Plane.app/Contents/MacOS/sub/X-Plane", "/A/X-Plane.app"},
      {"/A/.app/Contents/MacOS/X-Plane", std::nullopt},
      {"/A/X-Plane.app/Contents/MacOS/", std::nullopt},
      {"/A/X-Plane.app/Contents/Resources/X-Plane", std::nullopt},
      {"/usr/bin/sleep", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(bundle::bundleOfExecutable(c.exe), c.bundle) << c.exe;
}

TEST(Bundle, PlistStringValues) {
  std::string plist = infoPlist("com.example.a&amp;b", "X-Plane");
  EXPECT_EQ(bundle::plistString(plist, "CFBundleIdentifier"), "com.example.a&b");
  EXPECT_EQ(bundle::plistString(plist, "CFBundleExecutable"), "X-Plane");
  EXPECT_EQ(bundle::plistString(plist, "CFBundleName"), std::nullopt);
  EXPECT_EQ(bundle::plistString("<key>CFBundleIdentifier</key><true/>", "CFBundleIdentifier"), std::nullopt);
  EXPECT_EQ(bundle::plistString("<key>CFBundleIdentifier</key><string>cut", "CFBundleIdentifier"), std::nullopt);
  EXPECT_EQ(bundle::plistString("bplist00\x01\x02", "CFBundleIdentifier"), std::nullopt);
}

TEST_F(Process, IsRunningOnlyForTheFolderItRunsFrom) {
  std::string exe = makeApp(here, kHelper);
  makeApp(other, kHelper);
  EXPECT_FALSE(Installer::isRunning(here));

  pid_t pid = start(exe, "sleep");
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(eventually([&] { return Installer::isRunning(here); }));
  EXPECT_FALSE(Installer::isRunning(other));
  EXPECT_TRUE(Installer::isRunning(here + "/../X-Plane 12/./"));
  EXPECT_FALSE(Installer::isRunning(tmp.path()));

  ::kill(pid, SIGKILL);
  int status;
  ::waitpid(pid, &status, 0);
  EXPECT_FALSE(Installer::isRunning(here));
}

TEST_F(Process, IsRunningNeedsExactlyXPlanesBundleIdentifier) {
  std::string exe = makeApp(here, kHelper, "com.laminar-research.x-plane");
  pid_t pid = start(exe, "sleep");
  ASSERT_GT(pid, 0);
  // The process is up once /proc shows it from the bundle.
  EXPECT_TRUE(eventually([&] {
    for (const RunningApplication& app : platform.runningApplications())
      if (app.bundlePath == here + "/X-Plane.app") return true;
    return false;
  }));
  EXPECT_FALSE(Installer::isRunning(here));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST_F(Process, IsRunningSkipsApplicationsWithoutIdentifierOrLocation) {
  std::string id(Installer::xplaneBundleID);
  platform.running = std::vector<RunningApplication>{{id, std::nullopt}, {std::nullopt, here + "/X-Plane.app"}};
  EXPECT_FALSE(Installer::isRunning(here));
  platform.running->push_back({id, here + "/./X-Plane.app/"});
  EXPECT_TRUE(Installer::isRunning(here));
}

TEST_F(Process, LaunchStartsTheBundlesExecutableDetachedAndCompletesLaterOnTheMainThread) {
  makeApp(here, kHelper);
  bool called = false;
  std::optional<std::string> error = "not called";
  std::thread::id thread;
  Installer::launch(here, [&](std::optional<std::string> e) {
    called = true;
    error = e;
    thread = std::this_thread::get_id();
  });
  EXPECT_FALSE(called);
  MainQueue::shared().waitAndDrain(5s);
  ASSERT_TRUE(called);
  EXPECT_EQ(error, std::nullopt);
  EXPECT_EQ(thread, std::this_thread::get_id());

  std::string marker = here + "/X-Plane.app/Contents/MacOS/launched";
  EXPECT_TRUE(eventually([&] { return fs::exists(marker) && !readFile(marker).empty(); }));
  // Detached: the started program is nobody's child here, so nothing is left to reap.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(Process, LaunchReportsAMissingBundleOrExecutableLater) {
  struct Case {
    const char* what;
    std::function<void()> make;
  } cases[] = {
      {"no X-Plane.app", [&] { fs::remove_all(here + "/X-Plane.app"); }},
      {"no Info.plist", [&] { fs::create_directories(here + "/X-Plane.app/Contents/MacOS"); }},
      {"no executable named",
       [&] { writeFile(here + "/X-Plane.app/Contents/Info.plist", "<plist><dict></dict></plist>"); }},
      {"executable missing", [&] { writeFile(here + "/X-Plane.app/Contents/Info.plist", infoPlist("x", "X-Plane")); }},
      {"name escapes the bundle",
       [&] { writeFile(here + "/X-Plane.app/Contents/Info.plist", infoPlist("x", "../../../bin")); }},
      {"not executable",
       [&] {
         std::string exe = makeApp(here, kHelper);
         ::chmod(exe.c_str(), 0644);
       }},
  };
  for (const Case& c : cases) {
    fs::remove_all(here + "/X-Plane.app");
    c.make();
    int calls = 0;
    std::optional<std::string> error;
    Installer::launch(here, [&](std::optional<std::string> e) {
      ++calls;
      error = e;
    });
    EXPECT_EQ(calls, 0) << c.what;
    MainQueue::shared().waitAndDrain(5s);
    MainQueue::shared().drain();
    EXPECT_EQ(calls, 1) << c.what;
    EXPECT_TRUE(error.has_value() && !error->empty()) << c.what;
  }
}

TEST(MainQueueOrder, WorkPostedFromOtherThreadsRunsInOrderOnlyWhenDrained) {
  MainQueue queue;
  std::vector<int> ran;
  int wakes = 0;
  queue.setWaker([&] { ++wakes; });
  std::thread([&] {
    for (int i = 0; i < 3; ++i) queue.post([&ran, i] { ran.push_back(i); });
  }).join();
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(wakes, 3);
  queue.post([&] { queue.post([&] { ran.push_back(99); }); });
  EXPECT_EQ(queue.drain(), 4u);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(queue.drain(), 1u);
  EXPECT_EQ(ran.back(), 99);
  EXPECT_EQ(queue.waitAndDrain(10ms), 0u);
}

class OtherUser : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string helper = tmp.path() + "/helper";
  std::string payload = tmp.path() + "/TAVRO";
  std::string xplane = tmp.path() + "/X-Plane 12";

  void SetUp() override {
    if (auto why = whyNotAsNobody(tmp.path())) GTEST_SKIP() << *why;
    ::chmod(tmp.path().c_str(), 0755);
    fs::copy_file(kHelper, helper);
    ::chmod(helper.c_str(), 0755);
    makePayload(payload);
    makeXPlane(xplane);
  }
  std::string installAsNobody() { return runAsNobody(helper, {"install", payload, xplane}); }
};

TEST_F(OtherUser, UnwritablePluginsFolderChangesNothing) {
  std::string plugins = xplane + "/Resources/plugins";
  ::chmod(plugins.c_str(), 0755);
  auto before = snapshot(xplane);
  EXPECT_EQ(installAsNobody(), "pluginsUnwritable\n" + InstallError::pluginsUnwritable().errorDescription() + "\n");
  EXPECT_EQ(snapshot(xplane), before);

  // The same user installs once the folder lets them.
  ::chmod(plugins.c_str(), 0777);
  EXPECT_EQ(installAsNobody(), "ok\n");
  EXPECT_EQ(entries(plugins), std::vector<std::string>{"TAVRO"});
}
