// X-Plane process control with real processes started from a copy of a program placed as the X-Plane
// folder's "X-Plane-x86_64", the main queue, and installing as a user who may not change the
// plug-ins folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

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
  std::string here = tmp.path() + "/games/X-Plane 12";
  std::string linked = tmp.path() + "/home/X-Plane 12";  // a link to here
  std::string other = tmp.path() + "/disk2/X-Plane 12";

  void SetUp() override {
    MainQueue::shared().drain();
    makeXPlane(here);
    makeXPlane(other);
    fs::create_directories(tmp.path() + "/home");
    fs::create_directory_symlink(here, linked);
  }

  struct Launch {
    int calls = 0;
    std::optional<std::string> error;
    bool onThisThread = false;
  };
  // Launches, checks that nothing arrives before the main queue runs, and drains it.
  Launch launch(const std::string& folder) {
    Launch result;
    auto self = std::this_thread::get_id();
    Installer::launch(folder, [&](std::optional<std::string> e) {
      ++result.calls;
      result.error = e;
      result.onThisThread = std::this_thread::get_id() == self;
    });
    EXPECT_EQ(result.calls, 0);
    MainQueue::shared().waitAndDrain(5s);
    MainQueue::shared().drain();
    return result;
  }
};

}  // namespace

TEST_F(Process, IsRunningForTheProgramFileWhateverPathLeadsToIt) {
  makeProgram(here, kHelper);
  makeProgram(other, kHelper);  // the same bytes, another file
  EXPECT_FALSE(Installer::isRunning(here));

  for (const std::string& startedFrom : {here, linked}) {
    SCOPED_TRACE("started from " + startedFrom);
    pid_t pid = start(Installer::xplaneApp(startedFrom), "sleep");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(eventually([&] { return Installer::isRunning(here); }));
    EXPECT_TRUE(Installer::isRunning(linked));
    EXPECT_TRUE(Installer::isRunning(here + "/../X-Plane 12/./"));
    EXPECT_FALSE(Installer::isRunning(other));
    EXPECT_FALSE(Installer::isRunning(tmp.path()));
    // Processes that come and go while /proc is read change nothing about the answer.
    std::atomic<bool> stop = false;
    std::thread churn([&] {
      while (!stop) ::waitpid(start("/bin/true", nullptr), nullptr, 0);
    });
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(Installer::isRunning(here));
    stop = true;
    churn.join();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(Installer::isRunning(here));
  }
}

TEST_F(Process, IsRunningSkipsEntriesThatCannotBeCompared) {
  auto program = platform.identity(Installer::xplaneApp(here));
  ASSERT_TRUE(program.has_value());
  platform.running = std::vector<RunningApplication>{{}, {std::string(Installer::xplaneBundleID), here, std::nullopt}};
  EXPECT_FALSE(Installer::isRunning(here));
  platform.running->push_back({std::nullopt, std::nullopt, program});
  EXPECT_TRUE(Installer::isRunning(here));
  fs::remove(Installer::xplaneApp(here));  // no program file: nothing can run it
  EXPECT_FALSE(Installer::isRunning(here));
}

TEST_F(Process, LaunchStartsTheProgramInItsFolderAndSessionAndCompletesOnceOnTheMainThread) {
  makeProgram(here, kHelper);
  Launch result = launch(linked);
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_TRUE(result.onThisThread);

  std::string marker = here + "/launched";
  EXPECT_TRUE(eventually([&] { return fs::exists(marker) && readFile(marker).size() > 0 && readFile(marker).back() == '\n'; }));
  EXPECT_EQ(readFile(marker), here + "\n/dev/null\n/dev/null\nown session\n");
  // Detached: the started program is nobody's child here, so nothing is left to reap.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(Process, LaunchReportsAProgramThatCannotStartOnce) {
  struct Case {
    const char* what;
    std::function<void()> make;
  } cases[] = {
      {"no program", [&] { fs::remove(Installer::xplaneApp(here)); }},
      {"not executable", [&] { ::chmod(makeProgram(here, kHelper).c_str(), 0644); }},
      {"a folder", [&] { fs::create_directories(Installer::xplaneApp(here)); }},
  };
  for (const Case& c : cases) {
    fs::remove_all(Installer::xplaneApp(here));
    c.make();
    Launch result = launch(here);
    EXPECT_EQ(result.calls, 1) << c.what;
    EXPECT_TRUE(result.error.has_value() && !result.error->empty()) << c.what;
    EXPECT_TRUE(result.onThisThread) << c.what;
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
