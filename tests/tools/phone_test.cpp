// cvht-phone in its commands against the real plug-in in the simulated host, and its decoder on bad packets.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <regex>

#include "../plugin/plugin_fixture.h"
#include "phone_decode.h"

using namespace cvhttest;

namespace {

constexpr int kMany = 1 << 30;
struct PhoneCase {
  const char *name, *args;  // {dir} stands for a folder holding head.csv
  int exitCode;
  float yawFrom, yawTo;  // the largest head yaw any frame wrote lies in between
  const char *whole;     // the output exactly, where it is known
  struct Lines {
    const char *regex;  // searched in each line of the output
    int atLeast, atMost;
  };
  std::vector<Lines> lines;
};

// clang-format off
const PhoneCase kCases[] = {
    {"QueryPrintsTheAnswer", "query LSZH --host 127.0.0.1 --timeout 5", 0, 0, 0, nullptr,
     {{"answer   LSZH at 47\\.46472,8\\.54917 elevation 1416ft, 1 runways: 10/28 60\\.0m", 1, 1}}},
    {"QueryWithoutAnswerSaysSo", "query ZZZZ --host 127.0.0.1 --timeout 0.5", 1, 0, 0, "no answer\n", {}},
    {"StreamMovesTheHeadAndDecodesTheTelemetry",
     "stream --host 127.0.0.1 --pattern sway --seconds 1.5 --rate 60 --watch", 0, 5.01f, 90, nullptr,
     {{"\\[phone\\]   0\\.", 1, kMany},
      {"status   fresh blend=[01]\\.[0-9]{2} view=1026 seq=[0-9]+", 1, kMany},
      {"airports 1 within 150nm of 47\\.4647,8\\.5492 \\(index ready\\)", 1, kMany},
      {"LSZH", 1, kMany},
      {"sent: pose=(8[0-9]|9[0-9]) \\| received: .*status=[0-9]+", 1, kMany}}},
    // The first status answers the newest pose of the first frame: the phone may have sent two by then.
    {"RecordedMotionAndSequenceStartAreSent",
     "stream --host 127.0.0.1 --pattern csv:{dir}/head.csv --seconds 1 --seq-start 4000000000 --watch", 0, 25, 25,
     nullptr, {{"status   fresh blend=0\\.0[0-9] view=1026 seq=400000000[0-9] ", 1, kMany}}},
    {"PosesWithoutTrackingLeaveTheViewAlone",
     "stream --host 127.0.0.1 --pattern csv:{dir}/head.csv --seconds 1 --no-tracking --watch", 0, 0, 0, nullptr,
     {{"status   stale blend=0\\.00 view=1026 seq=[0-9]+ ", 1, kMany}, {"status   fresh", 0, 0}}},
    {"MissingRecordingIsRefused", "stream --host 127.0.0.1 --pattern csv:{dir}/missing.csv --seconds 1", 2, 0, 0,
     nullptr, {{"no samples in .*/missing\\.csv$", 1, 1}}},
    {"WatchJsonIsOneObjectPerLine", "watch --host 127.0.0.1 --seconds 1.2 --json", 0, 0, 90, nullptr,
     {{"^(?!\\{\"type\":\"[a-z_]+\",.*\\}$)", 0, 0},
      {"", 21, kMany},
      {"^\\{\"type\":\"status\",", 11, kMany},
      {"^\\{\"type\":\"flight_state\",", 11, kMany},
      {"^\\{\"type\":\"airports\",", 1, kMany},
      {"\"type\":\"bad\"", 0, 0}}},
};
// clang-format on

void PrintTo(const PhoneCase &c, std::ostream *os) { *os << c.name; }

class PhoneTool : public PluginTest, public ::testing::WithParamInterface<PhoneCase> {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteApt(
        "I\n1200 Generated\n1 1416 0 0 LSZH Zurich\n"
        "100 60.00 1 0 0.25 1 3 0 10 47.45 8.53 0 0 3 2 1 0 28 47.47 8.57 0 0 3 2 1 0\n"
        "1302 datum_lat 47.464722\n1302 datum_lon 8.549167\n99\n");
    std::ofstream(system_.Path() + "/head.csv")
        << "t,x,y,z,yaw,pitch,roll\n0,0,0,0,10,0,0\n0.5,0,0,0,10,0,0\n1,0,0,0,10,0,0\n";
    StartAndAwaitScan();
  }
};

// Runs cvht-phone while this thread keeps the simulated X-Plane's frames going at 60 Hz.
TEST_P(PhoneTool, Run) {
  const PhoneCase &c = GetParam();
  std::string cmd = std::string(CVHT_PHONE) + " " + c.args + " 2>&1";
  if (const size_t at = cmd.find("{dir}"); at != std::string::npos) cmd.replace(at, 5, system_.Path());
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  fcntl(fileno(p), F_SETFL, O_NONBLOCK);
  std::string out;
  float maxYaw = 0.0f;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto next = t0;;) {
    simxp::RunFrame(1.0f / 60.0f);
    maxYaw = std::max(maxYaw, std::fabs(Head(3)));
    next += std::chrono::microseconds(16667);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
    pollfd pf{fileno(p), POLLIN, 0};
    poll(&pf, 1, static_cast<int>(std::max<long long>(0, wait.count())));
    char buf[65536];
    ssize_t n;
    while ((n = read(fileno(p), buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    if (n == 0 || std::chrono::steady_clock::now() - t0 > std::chrono::seconds(20)) break;
  }
  const int status = pclose(p);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.exitCode) << out;
  EXPECT_GE(maxYaw, c.yawFrom);
  EXPECT_LE(maxYaw, c.yawTo);
  if (c.whole) {
    EXPECT_EQ(out, c.whole);
  }
  for (const auto &l : c.lines) {
    int n = 0;
    const std::regex re(l.regex);
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) n += std::regex_search(line, re);
    EXPECT_GE(n, l.atLeast) << l.regex << "\n" << out;
    EXPECT_LE(n, l.atMost) << l.regex << "\n" << out;
  }
}
INSTANTIATE_TEST_SUITE_P(Commands, PhoneTool, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

const uint8_t *Data(const std::string &p) { return reinterpret_cast<const uint8_t *>(p.data()); }
std::string Text(const std::string &p) { return phone::DecodeText(Data(p), p.size()); }
std::string Json(const std::string &p) { return phone::DecodeJson(Data(p), p.size()); }
template <typename T>
std::string Packet(const char *magic, uint16_t version, T body = {}) {
  std::memcpy(body.magic, magic, 4);
  body.version = version;
  return std::string(reinterpret_cast<const char *>(&body), sizeof body);
}

}  // namespace

TEST(PhoneDecode, EveryWrongLengthOrVersionIsShownAsBad) {
  const std::vector<std::tuple<const char *, size_t, int>> good = {{"CVHT", 48, 4}, {"CVHQ", 14, 1},  {"CVHS", 80, 4},
                                                                   {"CVHF", 20, 1}, {"CVHW", 186, 1}, {"CVHI", 88, 1}};
  for (auto [magic, size, version] : good) {
    for (size_t n : {size_t(0), size_t(3), size_t(4), size_t(5), size - 1, size, size + 1, size_t(2000)}) {
      std::string p(n, '\0');
      std::memcpy(p.data(), magic, std::min<size_t>(4, n));
      if (n >= 6) p[4] = static_cast<char>(version);
      EXPECT_EQ(Text(p).rfind("bad ", 0) == 0, n != size) << magic << " " << n << ": " << Text(p);
      EXPECT_EQ(Json(p).rfind("{\"type\":\"bad\"", 0) == 0, n != size) << magic << " " << n << ": " << Json(p);
      if (n < 6 || n != size) continue;
      p[4] = 9;
      EXPECT_NE(Text(p).find("version 9"), std::string::npos) << magic;
    }
  }
}

TEST(PhoneDecode, AirportCountsMustFitTheLengthAndTextStaysInItsField) {
  cvht::AirportPacketHeader h{};
  h.airportCount = 44;
  h.runwayCount = 24;
  EXPECT_EQ(Text(Packet("CVHA", 1, h)),
            "bad      airports packet \"CVHA\": 20 bytes, 1396 expected for 44 airports and 24 runways");
  h.airportCount = 1;
  h.runwayCount = 0;
  h.flags = cvht::kAirportQueryReply;
  const std::string reply = Packet("CVHA", 1, h) + std::string(16, 'A') + std::string(2, '\0');
  EXPECT_EQ(Text(reply), "answer   AAAAAAAA at 12.07843,12.07843 elevation 0ft, 0 runways");  // the ident has no NUL
  EXPECT_EQ(phone::Classify(Data(reply), reply.size()), phone::Kind::AirportReply);
  cvht::IdentityPacket id{};
  id.flags = 3;
  std::memcpy(id.tailNumber, "A\"B\\C\x01\xff", 7);
  EXPECT_NE(Json(Packet("CVHI", 1, id)).find("\"tailNumber\":\"A\\\"B\\\\C\\u0001\\u00ff\""), std::string::npos)
      << Json(Packet("CVHI", 1, id));
}
