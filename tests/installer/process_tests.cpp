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

}  // namespace

// The home folder comes from $HOME when it is an absolute path, from the password database otherwise.
TEST(Platform, MoveReadUuidResourcesAndHome) {
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
  EXPECT_TRUE(std::regex_match(a, canonical) && std::regex_match(b, canonical) && a != b) << a << " " << b;
  EXPECT_EQ(platform.resourceFolder("no such resource"), std::nullopt);
  EXPECT_EQ(fs::path(platform.resourceFolder("installer_core_tests").value_or("")).filename(), "installer_core_tests");

  std::optional<std::string> savedHome = platform.environment("HOME");
  ::unsetenv("HOME");
  std::string fromDatabase = platform.homeDirectory();
  EXPECT_EQ(fromDatabase.front(), '/');
  for (const char* unusable : {"", "relative/home"}) {
    ::setenv("HOME", unusable, 1);
    EXPECT_EQ(platform.homeDirectory(), fromDatabase) << unusable;
  }
  ::setenv("HOME", "/srv/pilot/../pilot2/", 1);
  EXPECT_EQ(platform.homeDirectory(), "/srv/pilot2/");
  EXPECT_EQ(platform.environment("HOME"), "/srv/pilot/../pilot2/");
  savedHome ? ::setenv("HOME", savedHome->c_str(), 1) : ::unsetenv("HOME");
}

// One X-Plane folder, a link to it and a second folder with a copy of the same program: whether it
// runs, from a fake process list and from real processes, and opening it, every completion exactly
// once, only when the main queue is drained.
TEST(Process, RunningAndLaunching) {
  TempDir tmp;
  TestPlatform platform;  // the real file system and the real /proc
  UsePlatform use{platform};
  std::string here = tmp.Path() + "/games/X-Plane 12", other = tmp.Path() + "/disk2/X-Plane 12";
  std::string linked = tmp.Path() + "/X-Plane 12";
  makeXPlane(here);
  makeXPlane(other);
  fs::create_directory_symlink(here, linked);
  MainQueue::shared().drain();
  auto launch = [&](const std::string& folder) {
    std::vector<std::optional<std::string>> errors;
    Installer::launch(folder, [&](std::optional<std::string> e) { errors.push_back(e); });
    EXPECT_TRUE(errors.empty());
    MainQueue::shared().waitAndDrain(5s);
    MainQueue::shared().drain();
    return errors;
  };

  // Entries that cannot be compared are skipped; a failing list counts as not running.
  platform.running = std::vector<RunningApplication>{{}, {std::string(Installer::xplaneBundleID), here, std::nullopt}};
  EXPECT_FALSE(Installer::isRunning(here));
  platform.running->push_back({std::nullopt, std::nullopt, platform.identity(Installer::xplaneApp(here))});
  EXPECT_TRUE(Installer::isRunning(here));
  platform.fail["running"] = EIO;
  EXPECT_FALSE(Installer::isRunning(here));
  platform.fail.clear();
  platform.running.reset();

  // A platform that answers and then throws too is heard once, with its answer.
  using Errors = std::vector<std::optional<std::string>>;
  platform.openResult.emplace();
  platform.fail["open"] = EIO;
  EXPECT_EQ(launch(here), Errors{std::nullopt});
  platform.openResult.reset();
  platform.fail.clear();

  fs::remove(Installer::xplaneApp(here));
  EXPECT_FALSE(Installer::isRunning(here));  // no program file: nothing can run it
  makeProgram(here, kHelper);
  makeProgram(other, kHelper);  // the same bytes, another file
  EXPECT_FALSE(Installer::isRunning(here));
  pid_t pid = start(Installer::xplaneApp(linked), "sleep");
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(eventually([&] { return Installer::isRunning(here); }));
  EXPECT_TRUE(Installer::isRunning(linked));
  EXPECT_FALSE(Installer::isRunning(other));
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

  // Started in its folder, in a session of its own, with nothing to read or write to.
  EXPECT_EQ(launch(linked), Errors{std::nullopt});
  std::string marker = here + "/launched";
  EXPECT_TRUE(eventually([&] { return readFile(marker).size() > 0 && readFile(marker).back() == '\n'; }));
  EXPECT_EQ(readFile(marker), here + "\n/dev/null\n/dev/null\nown session\n");
  // Detached: the started program is nobody's child here, so nothing is left to reap.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Work posted from any thread runs in order, and only when the main queue is drained; work that a
// drain posts runs at the next one.
TEST(MainQueueOrder, WorkRunsInOrderOnlyWhenDrained) {
  MainQueue queue;
  std::vector<int> ran;  // -1 for each wake
  queue.setWaker([&] { ran.push_back(-1); });
  std::thread([&] {
    for (int i = 0; i < 3; ++i) queue.post([&ran, i] { ran.push_back(i); });
  }).join();
  queue.post([&] { queue.post([&] { ran.push_back(99); }); });
  EXPECT_EQ(ran, (std::vector<int>{-1, -1, -1, -1}));
  EXPECT_EQ(queue.drain(), 4u);
  EXPECT_EQ(queue.drain(), 1u);
  EXPECT_EQ(ran, (std::vector<int>{-1, -1, -1, -1, 0, 1, 2, -1, 99}));
  EXPECT_EQ(queue.waitAndDrain(10ms), 0u);
}
