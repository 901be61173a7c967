// The Windows TAVRO.xpl under Wine, in our simulated X-Plane for Windows, against a phone on 127.0.0.1: the
// same flight of datagrams goes to the Windows plug-in and to the Linux one, and both must answer with the
// same bytes, the same head pose and the same log. Wine has none of MinGW's runtime DLLs (a pilot's Windows
// neither), so the flight also shows that the slice loads on its own and exports the five entry points.
#include <signal.h>
#include <sys/stat.h>

#include "../plugin/plugin_fixture.h"

using namespace cvhttest;
using Lines = std::vector<std::string>;

namespace {

// Wine's drive Z: is the Linux root.
std::string WinePath(std::string p) {
  std::replace(p.begin(), p.end(), '/', '\\');
  return "Z:" + p;
}

// One datagram a frame: bad ones of every kind, then poses and queries.
std::vector<std::string> Flight() {
  const std::string pose = PoseBytes(1, {0, 0, 0, 40, 0, 0}), query = QueryBytes("LSZH");
  std::vector<std::string> flight = {
      "", "CVH", std::string(48, 'Z'), PoseBytes(1, {}, true, 3), pose.substr(0, 20), pose.substr(0, 47),
      query.substr(0, 13), query + "x", pose + std::string(12, '\xee')};
  for (uint32_t seq = 2; seq <= 20; ++seq) flight.push_back(PoseBytes(seq, {.1f, .2f, -.3f, 40, -10, 5}));
  flight.push_back(query);
  flight.push_back(QueryBytes("LSPF"));
  return flight;
}

// The flight in cvht-xphost-stepped, driven over its standard input, with the Windows plug-in under Wine
// (WINEPATH as set) or the Linux one built natively: what the phone and the cockpit saw.
struct Flown {
  Lines start, heads, log;
  std::vector<Lines> packets;

  Flown(bool windows, const std::string &systemPath) {
    const std::string out = systemPath + "host-output";
    mkfifo(out.c_str(), 0600);
    const std::string host = windows ? "'" CVHT_WINE "' '" CVHT_WIN_HOST "' --xpl '" + WinePath(CVHT_WIN_XPL) +
                                           "' --system-path '" + WinePath(systemPath)
                                     : "'" CVHT_LIN_HOST "' --system-path '" + systemPath;
    to_ = popen((host + "' > " + out).c_str(), "w");
    from_ = std::fopen(out.c_str(), "r");
    EXPECT_EQ(Say("", "loaded"), Lines{"loaded"});
    if ((start = Say("start")) == Lines{"started 1", "ok"}) {
      Phone phone;
      // Without a peer the scan's frames send nothing, and twenty leave every periodic packet short of due.
      Say("scan");
      for (const std::string &datagram : Flight()) {
        phone.Send(datagram);
        Say("frames 1");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        packets.push_back(phone.Take());
        heads.push_back(Say("head").at(0));
      }
      // The pilot's key turns tracking off: a quarter second later the view is half-way back to neutral.
      Say("command corvane/head_tracker/toggle");
      Say("frames 15");
      heads.push_back(Say("head").at(0));
      Say("frames 1 5");
      Say("stop");
    }
    // The plug-in leaves the host cleanly: no fault seen, unloaded, a normal exit.
    EXPECT_EQ(Say("quit", "(end of output)"), Lines{"unloaded yes"});
    EXPECT_EQ(pclose(to_), 0);
    std::fclose(from_);
  }

 private:
  // Sends a command; the host's answer up to and with the line end. The plug-in's log lines go to log.
  Lines Say(const std::string &cmd, const std::string &end = "ok") {
    if (!cmd.empty()) std::fprintf(to_, "%s\n", cmd.c_str());
    std::fflush(to_);
    Lines answer;
    for (char buf[4096]; fgets(buf, sizeof buf, from_);) {
      const std::string line(buf, std::strcspn(buf, "\r\n"));
      const bool isLog = line.rfind("log ", 0) == 0;
      (isLog ? log : answer).push_back(line.substr(isLog ? 4 : 0));
      if (line == end) break;
    }
    return answer;
  }
  FILE *to_ = nullptr, *from_ = nullptr;
};

}  // namespace

TEST(Wine, WindowsPluginAnswersAFlightWithTheLinuxPluginsBytesAndNeedsOnlyWindowsAndXplm) {
  signal(SIGPIPE, SIG_IGN);  // a host that died shows as its missing answers
  // Near the standard aircraft: a datum airport, one placed by its runways (a CRLF row and a row of exactly
  // 511 bytes among them), one whose 512-byte runway row, CR and LF included, is not trusted, and a heliport.
  using namespace aptgen;
  auto crlf = [](std::string row) { return row.insert(row.size() - 1, "\r"); };
  auto pad = [](std::string row, size_t bytes) { return row.insert(row.size() - 1, bytes - row.size(), ' '); };
  TempDir system;
  std::filesystem::create_directories(std::filesystem::path(system.Path() + "/" + kAptRel).parent_path());
  system.Write(kAptRel, Preamble() + Header("LSZH", "1416") +
                            RunwayRow({{"10", "47.45", "8.53"}, {"28", "47.47", "8.57"}, "60.00"}) +
                            RunwayRow({{"14", "47.48", "8.53"}, {"32", "47.46", "8.56"}, "60.00"}) +
                            Datum("47.464722", "8.549167") + Header("LSZK", "1312") +
                            RunwayRow({{"07", "47.41", "8.63"}, {"25", "47.42", "8.65"}}, {" ", "\r\n"}) +
                            pad(RunwayRow({{"11", "47.40", "8.62"}, {"29", "47.41", "8.66"}, "23.00"}), 511) +
                            Header("LSPF", "1400") + RunwayRow({{"06", "47.35", "8.60"}, {"24", "47.36", "8.62"}}) +
                            crlf(pad(RunwayRow({{"15", "47.35", "8.60"}, {"33", "47.36", "8.62"}}), 511)) +
                            Header("LSHZ", "1300", kHeliport) + End());
  // The log without the build stamp; Linux's DNS-SD error (no Avahi daemon here) read as Windows' (no Bonjour).
  const std::string noBonjour = "CVHT: DNSServiceRegister failed: -65563 (discovery unavailable)";
  auto unstamped = [&](Lines lines, bool fromLinux) {
    for (auto &l : lines) {
      if (l.rfind("CVHT: started | build ", 0) == 0) l.erase(13, l.find(" | signs ") - 13);
      if (fromLinux && l.rfind("CVHT: DNSServiceRegister failed: ", 0) == 0) l = noBonjour;
    }
    return lines;
  };
  const Flown lin(false, system.Path() + "/");
  const Lines flown = unstamped(lin.log, true);
  EXPECT_EQ(std::count(flown.begin(), flown.end(), "CVHT: tracking off (command)"), 1);
  // The Windows plug-in without dnssd.dll, with one that lacks three of the four calls, and with the port held
  // by a program that shares ports (as Windows' SO_REUSEADDR would let the plug-in do).
  const struct {
    const char *name, *dllDir;
    bool portTaken;
    Lines start, log;
  } scenarios[] = {{"no dnssd.dll", "", false, {"started 1", "ok"}, flown},
                   {"incomplete dnssd.dll", CVHT_WIN_INCOMPLETE_DNSSD_DIR, false, {"started 1", "ok"}, flown},
                   {"port taken", "", true, {"started 0", "ok"}, {"CVHT: bind() to port 49707 failed"}}};
  std::string counts;  // packets back each frame: none for the first three datagrams, a reply more for a query
  for (const Lines &frame : lin.packets) counts += std::to_string(frame.size());
  EXPECT_EQ(counts, "000" + std::string(25, '2') + "33");
  const std::string marker = system.Path() + "/dnssd-loaded";
  setenv("CVHT_DNSSD_MARKER", WinePath(marker).c_str(), 1);
  for (const auto &s : scenarios) {
    SCOPED_TRACE(s.name);
    const int holder = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    sockaddr_in a{AF_INET, htons(s.portTaken ? cvht::kPort : 0), {}, {}};
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    setenv("WINEPATH", *s.dllDir ? WinePath(s.dllDir).c_str() : "", 1);
    const Flown win(true, system.Path() + "/");
    close(holder);
    ASSERT_EQ(win.start, s.start);
    EXPECT_EQ(unstamped(win.log, false), s.log);
    if (s.portTaken) continue;
    EXPECT_EQ(win.packets, lin.packets);
    EXPECT_EQ(win.heads, lin.heads);
    float yaw = 0;
    std::sscanf(win.heads.end()[-2].c_str(), "head %*f %*f %*f %f", &yaw);
    EXPECT_EQ(yaw, 80.0f) << "yaw 40 at full weight";
  }
  EXPECT_TRUE(std::filesystem::exists(marker)) << "the plug-in did not try the incomplete dnssd.dll";

  // What a pilot's Windows needs to load the slice: only XPLM_64.dll and Windows' own DLLs; and the five
  // entry points are all it shows X-Plane (MinGW exports every symbol when none is marked).
  FILE *p = popen("'" CVHT_MINGW_OBJDUMP "' -p '" CVHT_WIN_XPL "'", "r");
  ASSERT_NE(p, nullptr);
  Lines dlls, exports;
  bool inNames = false;
  for (char buf[512]; fgets(buf, sizeof buf, p);) {
    const std::string s(buf, std::strcspn(buf, "\n"));
    if (s.rfind("\tDLL Name: ", 0) == 0) dlls.push_back(s.substr(11));
    inNames = s == "[Ordinal/Name Pointer] Table" || (inNames && s.rfind("\t[", 0) == 0);
    if (inNames && s[0] == '\t') exports.push_back(s.substr(s.rfind(' ') + 1));
  }
  ASSERT_EQ(pclose(p), 0);
  std::sort(dlls.begin(), dlls.end());
  EXPECT_EQ(dlls, (Lines{"KERNEL32.dll", "WS2_32.dll", "XPLM_64.dll", "msvcrt.dll"}));
  EXPECT_EQ(exports, (Lines{"XPluginDisable", "XPluginEnable", "XPluginReceiveMessage", "XPluginStart", "XPluginStop"}));
}
