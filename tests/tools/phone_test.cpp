// cvht-phone in its commands against the real plug-in, which runs at 60 Hz in the simulated host meanwhile:
// what each command prints and what it does to the pilot's view.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <regex>

#include "../plugin/plugin_fixture.h"

using namespace cvhttest;

namespace {

const struct PhoneCase {
  const char *name, *args;  // {dir} stands for a folder holding head.csv
  int exitCode;
  float maxYaw;             // the largest head yaw any frame wrote
  const char *each, *some;  // patterns every line of the output (stderr too) and one line at least match
} kCases[] = {
    {"QueryPrintsTheAnswer", "query LSZH --host 127.0.0.1 --timeout 5", 0, 0,
     "answer   LSZH at 47\\.46472,8\\.54917 elevation 1416ft, 1 runways: 01L/19R 30\\.0m", ".*"},
    // The first status answers the newest pose of the first frame: the phone may have sent two by then.
    {"RecordedMotionAndSequenceStartAreSent",
     "stream --host 127.0.0.1 --pattern csv:{dir}/head.csv --seconds 1.5 --seq-start 4000000000 --watch", 0, 25,
     "\\[phone\\] (streaming csv:/tmp/[^ ]*/head\\.csv poses at 60 Hz for 2 s|  [01]\\.[0-9]{2}s (status   fresh .*|"
     "flight   on ground agl=0ft g=1\\.00 t=0\\.0s|airports 1 within 150nm of 47\\.4647,8\\.5492 \\(index ready\\))|"
     "sent: pose=(8[0-9]|9[0-9]) \\| received: (airports=1 )?flight_state=[0-9]+ status=[0-9]+)|"
     "         LSZH       0\\.0nm  rwy 01L/19R 30\\.0m",
     "\\[phone\\]   0\\.[0-9]{2}s status   fresh blend=0\\.0[0-9] view=1026 seq=400000000[0-9] .*"},
    // Every status a stale one (flags 2: fresh is bit 0).
    {"PosesWithoutTrackingLeaveTheViewAlone",
     "stream --host 127.0.0.1 --pattern csv:{dir}/head.csv --seconds 1 --no-tracking --watch --json", 0, 0,
     "\\{\"type\":\"(flight_state|airports|weather|identity)\",.*\\}|"
     "\\{\"type\":\"status\",\"size\":80,\"version\":4,\"flags\":2,.*\\}",
     "\\{\"type\":\"status\",.*"},
};

void PrintTo(const PhoneCase &c, std::ostream *os) { *os << c.name; }

class PhoneTool : public PluginTest, public ::testing::WithParamInterface<PhoneCase> {};

// Runs cvht-phone while this thread keeps the simulated X-Plane's frames going at 60 Hz.
TEST_P(PhoneTool, Run) {
  WriteApt(AptText().Airport("LSZH", 1416, 47.464722, 8.549167, 1).Text());
  system_.Write("head.csv", "t,x,y,z,yaw,pitch,roll\n0,0,0,0,10,0,0\n0.5,0,0,0,10,0,0\n1,0,0,0,10,0,0\n");
  StartAndAwaitScan();
  std::string cmd = std::string(CVHT_PHONE) + " " + GetParam().args + " 2>&1", out;
  if (const size_t at = cmd.find("{dir}"); at != std::string::npos) cmd.replace(at, 5, system_.Path());
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  fcntl(fileno(p), F_SETFL, O_NONBLOCK);
  float maxYaw = 0.0f;
  bool open = true;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto next = t0; open && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20);) {
    simxp::RunFrame(1.0f / 60.0f);
    maxYaw = std::max(maxYaw, std::fabs(Head(3)));
    // What the phone prints, read until the next frame is due.
    for (next += std::chrono::microseconds(16667); open && std::chrono::steady_clock::now() < next;) {
      pollfd pf{fileno(p), POLLIN, 0};
      poll(&pf, 1, static_cast<int>((next - std::chrono::steady_clock::now()) / std::chrono::milliseconds(1)));
      char buf[65536];
      ssize_t n;
      while ((n = read(fileno(p), buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
      open = n != 0;
    }
  }
  const int status = pclose(p);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, GetParam().exitCode) << out;
  EXPECT_EQ(maxYaw, GetParam().maxYaw);
  const std::regex each(GetParam().each), some(GetParam().some);
  int matches = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line); matches += std::regex_match(line, some))
    EXPECT_TRUE(std::regex_match(line, each)) << line;
  EXPECT_GT(matches, 0) << out;
}
INSTANTIATE_TEST_SUITE_P(Commands, PhoneTool, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
