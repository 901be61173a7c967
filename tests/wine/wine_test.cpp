// The Windows TAVRO.xpl under Wine, in our simulated X-Plane for Windows, against a phone on 127.0.0.1:
// one flight of datagrams goes to the Windows plug-in and then to the Linux one, and both must answer
// with the same bytes, the same head pose and the same log.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "../apt/apt_test_util.h"
#include "../plugin/plugin_fixture.h"

using namespace cvhttest;

namespace {

const char *kAptRel = "Global Scenery/Global Airports/Earth nav data/apt.dat";

std::string Env(const char *name) {
  const char *v = std::getenv(name);
  return v ? v : "";
}

// Wine's drive Z: is the Linux root.
std::string WinePath(std::string p) {
  for (char &c : p)
    if (c == '/') c = '\\';
  return "Z:" + p;
}

using HeadPose = std::array<float, 6>;

// Our simulated X-Plane with the plug-in loaded, in cvht-xphost-stepped driven over its standard input: the
// Linux plug-in in the native host, or the Windows one in the Windows host under Wine.
class Host {
 public:
  explicit Host(bool windows, const std::string &systemPath, const std::string &dllPath = "") {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) ADD_FAILURE() << "pipe";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      if (!dllPath.empty()) setenv("WINEPATH", dllPath.c_str(), 1);
      const std::string wine = Env("CVHT_WINE"), exe = Env("CVHT_WIN_HOST"), xpl = WinePath(Env("CVHT_WIN_XPL"));
      if (windows)
        execl(wine.c_str(), wine.c_str(), exe.c_str(), "--xpl", xpl.c_str(), "--system-path",
              WinePath(systemPath).c_str(), static_cast<char *>(nullptr));
      else
        execl(CVHT_LIN_HOST, CVHT_LIN_HOST, "--system-path", systemPath.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = fdopen(in[1], "w");
    from_ = out[0];
    std::string line;
    while (ReadLine(line) && line != "loaded") {
    }
    EXPECT_EQ(line, "loaded");
  }
  ~Host() {
    std::fprintf(to_, "quit\n");
    std::fflush(to_);
    std::string line;
    bool unloaded = false;
    while (ReadLine(line)) {
      if (line.rfind("fault ", 0) == 0) ADD_FAILURE() << "the host saw: " << line;
      unloaded = unloaded || line == "unloaded yes";
    }
    EXPECT_TRUE(unloaded) << "the plug-in stayed in the host after unload";
    std::fclose(to_);
    close(from_);
    int status = 0;
    waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "host status " << status;
  }
  int Start() {
    const std::string r = Command("start", "started ");
    return r.empty() ? -1 : std::atoi(r.c_str() + 8);
  }
  void Frames(int n, float dt) {
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "frames %d %.9g", n, static_cast<double>(dt));
    Command(cmd);
  }
  HeadPose Head() {
    HeadPose h{};
    const std::string r = Command("head", "head ");
    const char *at = r.c_str() + std::min<size_t>(r.size(), 4);
    for (float &v : h) v = static_cast<float>(std::strtod(at, const_cast<char **>(&at)));
    return h;
  }
  void Stop() { Command("stop"); }
  const std::vector<std::string> &Lines() const { return lines_; }

 private:
  // Sends a command and reads up to its "ok"; returns the answer line that starts with want.
  std::string Command(const std::string &cmd, const std::string &want = "") {
    std::fprintf(to_, "%s\n", cmd.c_str());
    std::fflush(to_);
    std::string answer, line;
    while (ReadLine(line) && line != "ok")
      if (!want.empty() && line.rfind(want, 0) == 0) answer = line;
    return answer;
  }
  // One line of the host's output, log lines kept aside; false at its end or after 60 s of silence.
  bool ReadLine(std::string &line) {
    for (;;) {
      const size_t nl = buffered_.find('\n');
      if (nl != std::string::npos) {
        line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("log ", 0) != 0) return true;
        lines_.push_back(line.substr(4));
        continue;
      }
      pollfd p{from_, POLLIN, 0};
      char buf[4096];
      ssize_t n = poll(&p, 1, 60000) == 1 ? read(from_, buf, sizeof buf) : -1;
      if (n <= 0) {
        line.clear();
        return false;
      }
      buffered_.append(buf, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  FILE *to_ = nullptr;
  int from_ = -1;
  std::string buffered_;
  std::vector<std::string> lines_;
};

// What the phone and the cockpit saw during one flight.
struct Transcript {
  int startResult = 0;
  std::vector<std::vector<std::string>> packetsPerStep;
  std::vector<HeadPose> heads;
  std::vector<std::string> lines;
};

// Near the standard aircraft's position: a datum airport, one placed by its runways (a CRLF row and a
// row of exactly 511 bytes among them), one whose 512-byte runway row is not trusted, and a heliport.
std::string GeneratedApt() {
  using namespace apttest;
  // The row ending eol instead, padded with blanks to bytes when it is shorter.
  auto padTo = [](std::string row, size_t bytes, const std::string &eol = "\n") {
    row.pop_back();
    if (row.size() + eol.size() < bytes) row.append(bytes - row.size() - eol.size(), ' ');
    return row + eol;
  };
  return Preamble() + Header("LSZH", 1416) + RunwayRow("10", "47.45", "8.53", "28", "47.47", "8.57", "60.00") +
         RunwayRow("14", "47.48", "8.53", "32", "47.46", "8.56", "60.00") + "1302 datum_lat 47.464722\n1302 datum_lon 8.549167\n" +
         Header("LSZK", 1312) + padTo(RunwayRow("07", "47.41", "8.63", "25", "47.42", "8.65"), 52, "\r\n") +
         padTo(RunwayRow("11", "47.40", "8.62", "29", "47.41", "8.66", "23.00"), 511) + Header("LSPF", 1400) +
         RunwayRow("06", "47.35", "8.60", "24", "47.36", "8.62") +
         padTo(RunwayRow("15", "47.35", "8.60", "33", "47.36", "8.62"), 512) + Header("LSHZ", 1300, "17") +
         "99\n";
}

// The flight: wait for the scan, the bad-datagram table, a long datagram, a head movement, an airport
// query, a statistics period, and stop.
Transcript Fly(Host &&host) {
  Transcript t;
  Phone phone;
  t.startResult = host.Start();
  if (t.startResult != 1) return t;
  // No peer yet, so these frames send nothing; each host runs the same number of them.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  host.Frames(3, 1.0f / 60.0f);
  auto step = [&](const std::string &datagram) {
    phone.Send(datagram);
    host.Frames(1, 1.0f / 60.0f);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    t.packetsPerStep.push_back(phone.Take());
    t.heads.push_back(host.Head());
  };
  const std::string pose = PoseBytes(1, {0, 0, 0, 40, 0, 0});
  const std::string query = QueryBytes("LSZH");
  std::string version3 = PoseBytes(1);
  version3[4] = 3;
  for (const std::string &bad : {std::string(), std::string("CVH"), std::string(48, 'Z'), version3, pose.substr(0, 20),
                                 pose.substr(0, 47), query.substr(0, 13), query + "x"})
    step(bad);
  step(pose + std::string(12, '\xee'));
  for (uint32_t seq = 2; seq <= 20; ++seq) step(PoseBytes(seq, {0.1f, 0.2f, -0.3f, 40, -10, 5}));
  step(QueryBytes("LSZH"));
  step(QueryBytes("LSPF"));
  host.Frames(1, 5.0f);
  host.Stop();
  t.lines = host.Lines();
  return t;
}

// The log with what may differ between the platforms taken out: the build stamp and the DNS-SD error code
// (no Bonjour on Windows, no daemon for Avahi on Linux).
std::vector<std::string> Comparable(std::vector<std::string> lines) {
  for (auto &l : lines) {
    if (l.rfind("CVHT: started | build ", 0) == 0) l = "CVHT: started " + l.substr(l.find(" | signs "));
    if (l.rfind("CVHT: DNSServiceRegister failed: ", 0) == 0) l = "CVHT: DNSServiceRegister failed";
  }
  return lines;
}

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("CVHT_WIN_HOST").empty()) GTEST_SKIP() << "no Windows slice in this build";
    const std::filesystem::path apt = std::filesystem::path(system_.Path()) / kAptRel;
    std::filesystem::create_directories(apt.parent_path());
    std::ofstream(apt, std::ios::binary) << GeneratedApt();
  }
  std::string SystemPath() const { return system_.Path() + "/"; }
  TempDir system_;
};

}  // namespace

TEST_F(WineTest, WindowsPluginAnswersAFlightWithTheLinuxPluginsBytes) {
  const Transcript win = Fly(Host(true, SystemPath())), lin = Fly(Host(false, SystemPath()));
  ASSERT_EQ(win.startResult, 1);
  ASSERT_EQ(lin.startResult, 1);

  // What the Windows plug-in must say on its own, whatever Linux says.
  ASSERT_GE(win.lines.size(), 4u);
  EXPECT_EQ(win.lines[0], "CVHT: listening on UDP 49707");
  EXPECT_EQ(win.lines[1], "CVHT: DNSServiceRegister failed: -65563 (discovery unavailable)");
  EXPECT_EQ(win.lines[2].rfind("CVHT: started | build ", 0), 0u) << win.lines[2];
  EXPECT_EQ(win.lines[3], "CVHT: apt.dat indexed: 3 airports, 5 runways");
  EXPECT_EQ(win.lines.back(), "CVHT: stopped");
  const auto report = std::find_if(win.lines.begin(), win.lines.end(),
                                   [](const std::string &l) { return l.rfind("CVHT: recv=20 ", 0) == 0; });
  ASSERT_NE(report, win.lines.end()) << "no link report with the 20 accepted poses";
  EXPECT_NE(report->find(" bad=8 "), std::string::npos) << *report;
  EXPECT_EQ(*(report + 1), "CVHT: link peer=yes proto=ok view=1026 bonjour=off");
  const HeadPose full = win.heads.back();
  EXPECT_FLOAT_EQ(full[3], 80.0f) << "yaw 40 at full weight";

  // Every packet, head pose and log line as the Linux plug-in has them. From the version-3 pose on there is
  // a peer, and every frame sends it a status and a flight state.
  ASSERT_EQ(win.packetsPerStep.size(), lin.packetsPerStep.size());
  for (size_t i = 0; i < win.packetsPerStep.size(); ++i) {
    EXPECT_EQ(win.packetsPerStep[i], lin.packetsPerStep[i]) << "packets after datagram " << i;
    for (int k = 0; k < 6; ++k) EXPECT_EQ(win.heads[i][k], lin.heads[i][k]) << "head " << k << " after datagram " << i;
    EXPECT_EQ(OfMagic(win.packetsPerStep[i], "CVHS").size(), i >= 3 ? 1u : 0u) << "status after datagram " << i;
    EXPECT_EQ(OfMagic(win.packetsPerStep[i], "CVHF").size(), i >= 3 ? 1u : 0u) << "flight state after datagram " << i;
  }
  EXPECT_EQ(As<cvht::StatusPacket>(OfMagic(win.packetsPerStep[8], "CVHS")[0]).seq, 1u) << "the 60-byte pose";
  EXPECT_EQ(OfMagic(win.packetsPerStep[28], "CVHA").size(), 1u) << "the LSZH query's reply";
  EXPECT_EQ(Comparable(win.lines), Comparable(lin.lines));
}

TEST_F(WineTest, PortTakenRefusesStart) {
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(cvht::kPort);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  {
    Host host(true, SystemPath());
    EXPECT_EQ(host.Start(), 0);
    EXPECT_EQ(host.Lines(), std::vector<std::string>{"CVHT: bind() to port 49707 failed"});
  }
  close(holder);
}

TEST_F(WineTest, IncompleteBonjourLibraryMeansDiscoveryOff) {
  const std::string marker = system_.Path() + "/dnssd-loaded";
  setenv("CVHT_DNSSD_MARKER", WinePath(marker).c_str(), 1);
  Host host(true, SystemPath(), WinePath(Env("CVHT_WIN_INCOMPLETE_DNSSD_DIR")));
  unsetenv("CVHT_DNSSD_MARKER");
  ASSERT_EQ(host.Start(), 1);
  EXPECT_TRUE(std::filesystem::exists(marker)) << "the plug-in did not try the incomplete dnssd.dll";
  Phone phone;
  phone.Send(PoseBytes(1));
  host.Frames(1, 5.0f);
  host.Stop();
  const auto lines = host.Lines();
  ASSERT_GE(lines.size(), 2u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[1], "CVHT: DNSServiceRegister failed: -65563 (discovery unavailable)");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "CVHT: link peer=yes proto=ok view=1026 bonjour=off"), lines.end())
      << testing::PrintToString(lines);
  EXPECT_EQ(lines.back(), "CVHT: stopped");
}

// What a pilot's Windows needs to load the slice: the five entry points out, and in only XPLM_64.dll
// and Windows' own DLLs (no libstdc++-6.dll or libwinpthread-1.dll).
TEST(WindowsBinary, ExportsTheFiveEntryPointsAndImportsOnlyXplmAndWindows) {
  const std::string cmd = "'" + Env("CVHT_MINGW_OBJDUMP") + "' -p '" + Env("CVHT_WIN_XPL") + "'";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> dlls, exports;
  bool inNames = false;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) {
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (s.rfind("\tDLL Name: ", 0) == 0) dlls.push_back(s.substr(11));
    if (s == "[Ordinal/Name Pointer] Table") inNames = true;
    else if (inNames && s.rfind("\t[", 0) == 0) exports.push_back(s.substr(s.rfind(' ') + 1));
    else inNames = false;
  }
  ASSERT_EQ(pclose(p), 0) << cmd;
  std::sort(dlls.begin(), dlls.end());
  EXPECT_EQ(dlls, (std::vector<std::string>{"KERNEL32.dll", "WS2_32.dll", "XPLM_64.dll", "msvcrt.dll"}));
  EXPECT_EQ(exports, (std::vector<std::string>{"XPluginDisable", "XPluginEnable", "XPluginReceiveMessage",
                                               "XPluginStart", "XPluginStop"}));
}
