// The system's platform services on real folders, and X-Plane process control with real processes
// started from a copy of a program placed as the X-Plane folder's "X-Plane-x86_64", with the main
// queue that launch completions arrive on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "main_queue.h"
#include "test_support.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

const std::string kHelper = TAVRO_TEST_HELPER;
using Errors = std::vector<std::optional<std::string>>;

pid_t start(const std::string& exe, const char* arg) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(exe.c_str(), exe.c_str(), arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// Polls until cond holds or about five seconds passed.
bool eventually(const std::function<bool()>& cond) {
  for (int i = 0; i < 500 && !cond(); ++i) std::this_thread::sleep_for(10ms);
  return cond();
}

struct Process : ::testing::Test {
  TempDir tmp;
  TestPlatform platform;  // the real file system and the real /proc
  UsePlatform use{platform};
  std::string here = tmp.Path() + "/games/X-Plane 12";
  std::string linked = tmp.Path() + "/home/X-Plane 12";  // a link to here
  std::string other = tmp.Path() + "/disk2/X-Plane 12";

  void SetUp() override {
    MainQueue::shared().drain();
    makeXPlane(here);
    makeXPlane(other);
    fs::create_directories(tmp.Path() + "/home");
    fs::create_directory_symlink(here, linked);
  }

  // Launches, checks that nothing arrives before the main queue runs, and drains it; the errors
  // delivered, and whether every delivery came on this thread.
  std::pair<Errors, bool> launch(const std::string& folder) {
    Errors errors;
    bool onThisThread = true;
    Installer::launch(folder, [&, self = std::this_thread::get_id()](std::optional<std::string> e) {
      errors.push_back(e);
      onThisThread = onThisThread && std::this_thread::get_id() == self;
    });
    EXPECT_TRUE(errors.empty());
    MainQueue::shared().waitAndDrain(5s);
    MainQueue::shared().drain();
    return {errors, onThisThread};
  }
};

}  // namespace

TEST(Platform, MoveReadUuidAndResources) {
  TempDir tmp;
  SystemPlatform platform;
  auto at = [&](const std::string& rel) { return tmp.Path() + "/" + rel; };
  writeFile(at("a/f"), "1");
  writeFile(at("b/f"), "2");
  EXPECT_THROW(platform.moveItem(at("a"), at("b")), PlatformError);
  EXPECT_EQ(readFile(at("b/f")), "2");
  platform.moveItem(at("a"), at("c"));
  EXPECT_EQ(entries(tmp.Path()), (Names{"b", "c"}));
  EXPECT_EQ(readFile(at("c/f")), "1");
  EXPECT_THROW(platform.copyItem(at("missing"), at("d")), PlatformError);
  EXPECT_FALSE(fs::exists(at("d")));

  writeFile(at("ok"), "/Applications/X-Plane 12\n\xFC\n");
  writeFile(at("big"), std::string(4097, 'a'));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0644), 0);
  fs::create_symlink(at("loop"), at("loop"));
  EXPECT_EQ(platform.readFile(at("ok"), 4096), "/Applications/X-Plane 12\n\xFC\n");
  EXPECT_EQ(platform.readFile(at("big"), 4096), std::nullopt);
  EXPECT_EQ(platform.readFile(at("big"), 4097), std::string(4097, 'a'));
  for (const char* bad : {"c", "missing", "fifo", "loop"})
    EXPECT_EQ(platform.readFile(at(bad), 4096), std::nullopt) << bad;  // a FIFO returns at once

  std::regex canonical("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::string a = platform.randomUUID(), b = platform.randomUUID();
  EXPECT_TRUE(std::regex_match(a, canonical)) << a;
  EXPECT_TRUE(std::regex_match(b, canonical)) << b;
  EXPECT_NE(a, b);

  EXPECT_EQ(platform.resourceFolder("no such resource"), std::nullopt);
  EXPECT_EQ(fs::path(platform.resourceFolder("installer_core_tests").value_or("")).filename(), "installer_core_tests");
}

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
    EXPECT_FALSE(Installer::isRunning(tmp.Path()));
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

TEST_F(Process, IsRunningSkipsWhatCannotBeComparedAndAFailingListIsNotRunning) {
  auto program = platform.identity(Installer::xplaneApp(here));
  ASSERT_TRUE(program.has_value());
  platform.running = std::vector<RunningApplication>{{}, {std::string(Installer::xplaneBundleID), here, std::nullopt}};
  EXPECT_FALSE(Installer::isRunning(here));
  platform.running->push_back({std::nullopt, std::nullopt, program});
  EXPECT_TRUE(Installer::isRunning(here));
  platform.runningFails = true;
  EXPECT_FALSE(Installer::isRunning(here));
  platform.runningFails = false;
  fs::remove(Installer::xplaneApp(here));  // no program file: nothing can run it
  EXPECT_FALSE(Installer::isRunning(here));
}

TEST_F(Process, LaunchStartsTheProgramInItsFolderAndSessionAndCompletesOnceOnTheMainThread) {
  makeProgram(here, kHelper);
  EXPECT_EQ(launch(linked), std::make_pair(Errors{std::nullopt}, true));

  std::string marker = here + "/launched";
  EXPECT_TRUE(eventually([&] { return readFile(marker).size() > 0 && readFile(marker).back() == '\n'; }));
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
      {"no program", [&] {}},
      {"not executable", [&] { ::chmod(makeProgram(here, kHelper).c_str(), 0644); }},
      {"a folder", [&] { fs::create_directories(Installer::xplaneApp(here)); }},
      // A platform that answers and then throws as well still completes once, with its answer.
      {"answered and thrown",
       [&] {
         platform.openResult.emplace();
         platform.openAlsoThrows = true;
       }},
  };
  for (const Case& c : cases) {
    fs::remove_all(Installer::xplaneApp(here));
    c.make();
    auto [errors, onThisThread] = launch(here);
    ASSERT_EQ(errors.size(), 1u) << c.what;
    EXPECT_EQ(errors[0].has_value() && !errors[0]->empty(), !platform.openResult) << c.what;
    EXPECT_TRUE(onThisThread) << c.what;
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
