// cvht-phone against the real plug-in in the simulated host, and its decoder on bad packets.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "../plugin/plugin_fixture.h"
#include "phone_decode.h"

using namespace cvhttest;

namespace {

struct PhoneRun {
  int exitCode = -1;
  std::string out;
  float maxPsi = 0.0f;  // the largest head yaw any frame wrote
};

// Runs cvht-phone while this thread keeps the simulated X-Plane's frames going at 60 Hz.
PhoneRun RunPhone(const std::string &args, double limitSeconds = 20.0) {
  std::string cmd = std::string(CVHT_PHONE) + " " + args + " 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  PhoneRun r;
  if (!p) return r;
  int fd = fileno(p);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  auto t0 = std::chrono::steady_clock::now();
  auto next = t0;
  for (;;) {
    simxp::RunFrame(1.0f / 60.0f);
    r.maxPsi = std::max(r.maxPsi, std::fabs(simxp::GetFloat(simxp::kHeadRefs[3])));
    next += std::chrono::microseconds(16667);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count();
    pollfd pf{fd, POLLIN, 0};
    poll(&pf, 1, static_cast<int>(std::max<long long>(wait, 0)));
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    if (n == 0) break;
    if (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() > limitSeconds) break;
  }
  int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class PhoneTool : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    std::filesystem::path apt =
        std::filesystem::path(system_.Path()) / "Global Scenery/Global Airports/Earth nav data/apt.dat";
    std::filesystem::create_directories(apt.parent_path());
    std::ofstream(apt) << "I\n1200 Generated\n1 1416 0 0 LSZH Zurich\n"
                          "100 60.00 1 0 0.25 1 3 0 10 47.45 8.53 0 0 3 2 1 0 28 47.47 8.57 0 0 3 2 1 0\n"
                          "1302 datum_lat 47.464722\n1302 datum_lon 8.549167\n99\n";
    ASSERT_EQ(Start(), 1);
    for (int i = 0; i < 2000 && LinesStartingWith("apt.dat ").empty(); ++i) {
      Frame();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
};

std::string Packet(const char *magic, size_t size) {
  std::string p(size, '\0');
  std::memcpy(p.data(), magic, std::min<size_t>(4, size));
  return p;
}

const uint8_t *Bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

}  // namespace

TEST_F(PhoneTool, QueryPrintsTheAnswer) {
  PhoneRun r = RunPhone("query LSZH --host 127.0.0.1 --timeout 5");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("answer   LSZH at 47.46472,8.54917 elevation 1416ft, 1 runways: 10/28 60.0m"), std::string::npos)
      << r.out;
}

TEST_F(PhoneTool, QueryWithoutAnswerSaysSo) {
  PhoneRun r = RunPhone("query ZZZZ --host 127.0.0.1 --timeout 0.5");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "no answer\n");
}

TEST_F(PhoneTool, StreamMovesTheHeadAndDecodesTheTelemetry) {
  PhoneRun r = RunPhone("stream --host 127.0.0.1 --pattern sway --seconds 1.5 --rate 60 --watch");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_GT(r.maxPsi, 5.0f) << "the sway turned the head";
  EXPECT_NE(r.out.find("[phone]   0."), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("status   fresh blend=[01]\\.[0-9]{2} view=1026 seq=[0-9]+"))) << r.out;
  EXPECT_NE(r.out.find("airports 1 within 150nm of 47.4647,8.5492 (index ready)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("LSZH"), std::string::npos);
  EXPECT_TRUE(std::regex_search(r.out, std::regex("sent: pose=(8[0-9]|9[0-9]) \\| received: .*status=[0-9]+"))) << r.out;
}

TEST_F(PhoneTool, RecordedMotionAndSequenceStartAreSent) {
  TempDir d;
  std::ofstream(d.Path() + "/head.csv") << "t,x,y,z,yaw,pitch,roll\n0,0,0,0,10,0,0\n0.5,0,0,0,10,0,0\n1,0,0,0,10,0,0\n";
  PhoneRun r = RunPhone("stream --host 127.0.0.1 --pattern csv:" + d.Path() + "/head.csv --seconds 1 --seq-start 4000000000 --watch");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_FLOAT_EQ(r.maxPsi, 25.0f) << "yaw 10 from the recording, at full weight";
  // The first status answers the newest pose of the first frame: the phone may have sent two by then.
  EXPECT_TRUE(std::regex_search(r.out, std::regex("status   fresh blend=0\\.0[0-9] view=1026 seq=400000000[0-9] "))) << r.out;
  PhoneRun bad = RunPhone("stream --host 127.0.0.1 --pattern csv:" + d.Path() + "/missing.csv --seconds 1");
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.out.find("no samples"), std::string::npos) << bad.out;
}

TEST_F(PhoneTool, WatchJsonIsOneObjectPerLine) {
  PhoneRun r = RunPhone("watch --host 127.0.0.1 --seconds 1.2 --json");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  std::istringstream lines(r.out);
  std::string line;
  int n = 0;
  std::map<std::string, int> types;
  while (std::getline(lines, line)) {
    ASSERT_TRUE(std::regex_match(line, std::regex("^\\{\"type\":\"[a-z_]+\",.*\\}$"))) << line;
    std::smatch m;
    std::regex_search(line, m, std::regex("\"type\":\"([a-z_]+)\""));
    ++types[m[1]];
    ++n;
  }
  EXPECT_GT(types["status"], 10);
  EXPECT_GT(types["flight_state"], 10);
  EXPECT_GE(types["airports"], 1);
  EXPECT_EQ(types["bad"], 0);
  EXPECT_GT(n, 20);
}

TEST(PhoneDecode, EveryWrongLengthIsShownAsBad) {
  const std::vector<std::pair<const char *, size_t>> good = {{"CVHT", 48}, {"CVHQ", 14}, {"CVHS", 80},
                                                             {"CVHF", 20}, {"CVHW", 186}, {"CVHI", 88}};
  for (auto [magic, size] : good) {
    for (size_t n : {size_t(0), size_t(3), size_t(4), size_t(5), size - 1, size + 1, size_t(2000)}) {
      std::string p = Packet(magic, n);
      if (n >= 6) p[4] = magic[3] == 'S' ? 4 : magic[3] == 'T' ? 4 : 1;
      std::string text = phone::DecodeText(Bytes(p), p.size());
      EXPECT_EQ(text.rfind("bad ", 0), 0u) << magic << " " << n << ": " << text;
      EXPECT_EQ(phone::DecodeJson(Bytes(p), p.size()).rfind("{\"type\":\"bad\"", 0), 0u);
    }
    std::string p = Packet(magic, size);
    p[4] = magic[3] == 'S' || magic[3] == 'T' ? 4 : 1;
    EXPECT_EQ(phone::DecodeText(Bytes(p), p.size()).rfind("bad ", 0), std::string::npos) << magic;
    p[4] = 9;
    EXPECT_NE(phone::DecodeText(Bytes(p), p.size()).find("version 9"), std::string::npos) << magic;
  }
}

TEST(PhoneDecode, AirportCountsMustFitTheLength) {
  cvht::AirportPacketHeader h{};
  std::memcpy(h.magic, "CVHA", 4);
  h.version = 1;
  h.airportCount = 44;
  h.runwayCount = 24;
  std::string p(reinterpret_cast<const char *>(&h), sizeof h);
  EXPECT_NE(phone::DecodeText(Bytes(p), p.size()).find("1396 expected for 44 airports and 24 runways"), std::string::npos);
  h.airportCount = 1;
  h.runwayCount = 0;
  h.flags = cvht::kAirportQueryReply;
  p = std::string(reinterpret_cast<const char *>(&h), sizeof h) + std::string(16, 'A') + std::string(2, '\0');
  std::string text = phone::DecodeText(Bytes(p), p.size());
  EXPECT_EQ(text.rfind("answer   AAAAAAAA", 0), 0u) << "an unterminated ident stays within its 8 bytes: " << text;
  EXPECT_EQ(phone::Classify(Bytes(p), p.size()), phone::Kind::AirportReply);
}

TEST(PhoneDecode, TextIsEscapedInJson) {
  cvht::IdentityPacket id{};
  std::memcpy(id.magic, "CVHI", 4);
  id.version = 1;
  id.flags = 3;
  std::memcpy(id.tailNumber, "A\"B\\C\x01\xff", 7);
  std::string p(reinterpret_cast<const char *>(&id), sizeof id);
  EXPECT_NE(phone::DecodeJson(Bytes(p), p.size()).find("\"tailNumber\":\"A\\\"B\\\\C\\u0001\\u00ff\""), std::string::npos)
      << phone::DecodeJson(Bytes(p), p.size());
}
