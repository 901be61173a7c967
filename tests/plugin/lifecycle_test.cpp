// Start, stop, enable, disable, messages and the log, through the real .xpl in the simulated host.
#include <regex>

#include "cvht_xplm.h"

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

constexpr int kPlaneLoaded = 102;  // X-Plane's plane-loaded message

// Binds the plug-in's port on every address: the socket, or -1 when it is taken.
int BindPort() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(cvht::kPort);
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return s;
  close(s);
  return -1;
}

std::vector<float> Heads() {
  std::vector<float> out;
  for (const auto &name : simxp::kHeadRefs) out.push_back(simxp::GetFloat(name));
  return out;
}

const std::vector<float> kNeutral = {0.1f, 0.8f, -0.4f, 0, 0, 0};  // the standard aircraft's eye point

// Start fills the texts and logs in order, then nothing until the phone speaks. Disable puts the view back
// at once and enable writes nothing; stop puts it back and undoes start, any number of times in one load.
// Then the user's aircraft is loaded: the eye point is captured again and the identity goes out on the next
// frame. Until then disable and stop put nothing back: X-Plane has already put the head at the new
// aircraft's eye point, and the old one must not follow.
TEST_F(PluginTest, StartStopDisableAndAircraftLoadInOneLoad) {
  simxp::Omit("sim/aircraft/view/acf_ICAO");
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(plugin_.Name(), "Corvane Head Tracker");
  EXPECT_EQ(plugin_.Description(), "Applies iPhone head-tracking pose to the 3D cockpit viewpoint.");
  EXPECT_TRUE(std::regex_match(plugin_.Signature(), std::regex("^com\\.[A-Za-z0-9-]+\\.corvaneheadtracker$")))
      << plugin_.Signature();
  EXPECT_TRUE(simxp::FeatureEnabled("XPLM_USE_NATIVE_PATHS"));
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "CVHT: listening on UDP 49707");
  EXPECT_EQ(lines[1], "CVHT: DNSServiceRegister failed: -65537 (discovery unavailable)");
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex("^CVHT: started \\| build [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} \\| "
                           "signs X=\\+1 Y=\\+1 Z=-1 yaw=\\+1 pitch=-1 roll=-1 \\| "
                           "gains trans=1\\.0 gainY=2\\.0 yaw=2\\.5 pitch=2\\.0 roll=1\\.0 \\| clamp 0\\.35m/80deg$")))
      << lines[2];
  // Every line reaches X-Plane as prefix, message and line feed.
  EXPECT_EQ(simxp::DebugStringCalls(), 3u * lines.size());
  Frames(120);
  EXPECT_EQ(Lines().size() - LinesStartingWith("apt.dat ").size(), 3u) << "nothing else before the phone speaks";
  plugin_.Disable();
  EXPECT_EQ(plugin_.Enable(), 1);
  Stop();
  EXPECT_EQ(simxp::TotalWrites(), 0u) << "nothing to put back before the first pose";
  ASSERT_EQ(Start(), 1);
  const Pose turned = {0.2f, 0.1f, 0.1f, 20, 10, 5};
  Stream(turned, 30);
  EXPECT_GT(Head(3), 40.0f);
  plugin_.Disable();
  EXPECT_EQ(Heads(), kNeutral) << "disable";
  uint64_t writes = simxp::TotalWrites();
  EXPECT_EQ(plugin_.Enable(), 1);
  EXPECT_EQ(simxp::TotalWrites(), writes);
  Stream(turned, 30);
  EXPECT_GT(Head(3), 40.0f);
  Stop();
  EXPECT_EQ(Heads(), kNeutral) << "stop";
  EXPECT_EQ(simxp::RegisteredFlightLoops(), 0u) << "no frame step runs after stop";
  EXPECT_EQ(LastLine(), "CVHT: stopped");

  ASSERT_EQ(Start(), 1);
  Stream({}, 1);
  Frame();
  simxp::SetFloat(simxp::kEyeRefs[0], -0.25f);
  simxp::SetFloat(simxp::kEyeRefs[1], 1.125f);
  simxp::SetFloat(simxp::kEyeRefs[2], 2.5f);
  simxp::SetBytes("sim/aircraft/view/acf_tailnum", "N172SP");
  // Another aircraft than the user's, and other messages, change nothing.
  int ai = 1;
  plugin_.Message(0, kPlaneLoaded, &ai);
  plugin_.Message(0, 101, nullptr);
  plugin_.Message(0, 103, nullptr);
  phone().Take();
  Frame();
  EXPECT_EQ(Heads(), kNeutral);
  EXPECT_TRUE(OfMagic(phone().Take(), "CVHI").empty());
  plugin_.Message(0, kPlaneLoaded, nullptr);
  EXPECT_EQ(LastLine(), "CVHT: aircraft loaded — eye reference will be re-captured");
  writes = simxp::TotalWrites();
  plugin_.Disable();
  EXPECT_EQ(plugin_.Enable(), 1);
  EXPECT_EQ(simxp::TotalWrites(), writes);
  Frame();
  EXPECT_EQ(LinesStartingWith("eye reference captured"),
            (std::vector<std::string>{"CVHT: eye reference captured: x=0.100 y=0.800 z=-0.400",
                                      "CVHT: eye reference captured: x=-0.250 y=1.125 z=2.500"}));
  EXPECT_EQ(Heads(), (std::vector<float>{-0.25f, 1.125f, 2.5f, 0, 0, 0}));
  EXPECT_EQ(OfMagic(phone().Take(), "CVHI"),
            std::vector<std::string>{std::string("CVHI\x01\0\x01\0N172SP", 14) + std::string(74, '\0')});
  plugin_.Message(0, kPlaneLoaded, nullptr);
  writes = simxp::TotalWrites();
  Stop();
  EXPECT_EQ(simxp::TotalWrites(), writes);
}

// A refused start names its reason alone, and leaves no flight loop, port or descriptor behind (the
// fixture counts the descriptors).
TEST_F(PluginTest, RefusedStartNamesTheReasonAndLeavesNothing) {
  std::vector<std::pair<std::vector<std::string>, std::string>> cases;  // omitted datarefs, the line
  for (int missing = 0; missing < 6; ++missing)  // the first missing head dataref is named
    cases.push_back({{simxp::kHeadRefs.begin() + missing, simxp::kHeadRefs.end()},
                     "missing dataref " + simxp::kHeadRefs[missing]});
  cases.push_back({{simxp::kEyeRefs[2]}, "missing acf_pe datarefs"});
  cases.push_back({{}, "bind() to port 49707 failed"});
  for (const auto &[omit, line] : cases) {
    SCOPED_TRACE(line);
    Fresh(omit);
    const int blocker = omit.empty() ? BindPort() : -1;
    ASSERT_EQ(blocker >= 0, omit.empty());
    EXPECT_EQ(Start(), 0);
    if (blocker >= 0) close(blocker);
    EXPECT_EQ(Lines(), std::vector<std::string>{"CVHT: " + line});
    EXPECT_EQ(simxp::RegisteredFlightLoops(), 0u);
  }
}

TEST_F(PluginTest, LongLogLineIsCutTo511Bytes) {
  // The scan's "not read" line names the full path; a long system folder makes it longer than a line.
  std::string deep = system_.Path() + "/" + std::string(440, 'd') + "/";
  simxp::SetSystemPath(deep);
  ASSERT_EQ(Start(), 1);
  std::string full = "apt.dat not read from " + deep + kAptRel + " — airports unavailable";
  ASSERT_GT(full.size(), 511u);
  EXPECT_EQ(AwaitScan(), std::vector<std::string>{"CVHT: " + full.substr(0, 511)});
}

}  // namespace
