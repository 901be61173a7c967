// The pilot's controls inside X-Plane: the four commands, the Plugins menu and the published datarefs,
// through the real .xpl, with exact head values.
#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

const std::string kCmd = "corvane/head_tracker/";

class ControlsTest : public PluginTest {
 public:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_EQ(Start(), 1);
  }
  static void Press(const std::string &command) { ASSERT_TRUE(simxp::CommandOnce(kCmd + command)); }
  static int Ref(const std::string &name) { return simxp::GetInt(kCmd + name); }
  // The check marks of "Head tracking" and "Freeze view", and the status line.
  static std::string Menu() {
    std::string out;
    for (const auto &i : simxp::MenuItems("Corvane Head Tracker"))
      out += i.separator ? "|" : (i.check == 2 ? "+" : i.check == 1 ? "-" : "") + i.name + (i.enabled ? ";" : "!;");
    return out;
  }
  static std::string Status() { return simxp::MenuItems("Corvane Head Tracker").back().name; }
};

// Toggle: the view fades out along the blend's fall and stops following the phone; held keys repeat
// Continue, which changes nothing; back on, the blend rises from 0 with the live pose.
TEST_F(ControlsTest, ToggleFadesOutIgnoresTheHeldKeyAndRisesAgain) {
  Stream({0, 0, 0, 20, 0, 0}, 20);
  ASSERT_FLOAT_EQ(Head(3), 50.0f);
  Press("toggle");
  EXPECT_EQ(Ref("enabled"), 0);
  for (int k = 1; k <= 30; ++k) {
    Stream({0, 0, 0, 30, 0, 0}, 1);
    if (k == 15) {
      EXPECT_NEAR(Head(3), 25.0f, 1e-3) << "half-way down, still at the yaw of the moment it went off";
    }
  }
  EXPECT_EQ(Head(3), 0.0f);
  for (int i = 0; i < 10; ++i) simxp::RunCommand(kCmd + "toggle", simxp::kContinue);
  simxp::RunCommand(kCmd + "toggle", simxp::kEnd);
  EXPECT_EQ(Ref("enabled"), 0) << "only Begin acts";
  Press("toggle");
  Stream({0, 0, 0, 30, 0, 0}, 9);
  EXPECT_NEAR(Head(3), 37.5f, 1e-3);
  Stream({0, 0, 0, 30, 0, 0}, 9);
  EXPECT_FLOAT_EQ(Head(3), 75.0f);
  EXPECT_EQ(LinesStartingWith("tracking "),
            (std::vector<std::string>{"CVHT: tracking off (command)", "CVHT: tracking on (command)"}));
}

// Freeze holds all six values exactly; release glides to the live pose in 0.3 s; tracking off while
// frozen lets go and fades to neutral.
TEST_F(ControlsTest, FreezeHoldsExactlyAndReleasesWithAGlide) {
  Stream({0.1f, 0.1f, 0.1f, 20, 10, 10}, 20);
  float held[6];
  for (int i = 0; i < 6; ++i) held[i] = Head(i);
  Press("freeze");
  Stream({0, 0, 0, 30, 0, 0}, 10);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Head(i), held[i]) << i;
  Press("freeze");
  Stream({0, 0, 0, 30, 0, 0}, 9);
  EXPECT_NEAR(Head(3), 62.5f, 1e-3) << "half-way from the held 50 to the live 75";
  Stream({0, 0, 0, 30, 0, 0}, 10);
  EXPECT_FLOAT_EQ(Head(3), 75.0f);
  EXPECT_FLOAT_EQ(Head(4), 0.0f);
  Press("freeze");
  EXPECT_EQ(Menu(), "+Head tracking;+Freeze view;Recenter;Reset centre;-Smooth motion;|Phone: not heard yet!;");
  Press("toggle");
  EXPECT_EQ(Ref("frozen"), 0);
  EXPECT_EQ(Menu().substr(0, 28), "-Head tracking;-Freeze view;");
  EXPECT_EQ(LastLine(), "CVHT: tracking off (command) — view released");
  Stream({0, 0, 0, 30, 0, 0}, 40);
  EXPECT_FLOAT_EQ(Head(0), 0.1f);
  EXPECT_EQ(Head(3), 0.0f);
}

// Recenter takes the newest raw pose as straight ahead, before mirroring and gains; reset forgets it.
TEST_F(ControlsTest, RecenterAndResetMoveTheCentre) {
  Press("recenter");
  EXPECT_EQ(Lines().back(), "CVHT: recenter ignored — no pose from the phone yet");
  Stream({0.05f, 0.02f, -0.03f, 10, 5, -4}, 20);
  Press("recenter");
  EXPECT_EQ(LastLine(), "CVHT: centre set: yaw=10.0 pitch=5.0 roll=-4.0 x=0.050 y=0.020 z=-0.030");
  Stream({0.05f, 0.02f, -0.03f, 12, 5, -4}, 20);
  const float want[6] = {0.1f, 0.8f, -0.4f, 5.0f, 0.0f, 0.0f};
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(Head(i), want[i]) << i;
  Press("reset_center");
  Stream({0.05f, 0.02f, -0.03f, 12, 5, -4}, 20);
  EXPECT_FLOAT_EQ(Head(3), 30.0f);
  EXPECT_FLOAT_EQ(Head(4), -10.0f);
  EXPECT_FLOAT_EQ(Head(2), -0.4f + 0.03f);
}

// The datarefs, their bad writes and reads, the status line's states, DataRefEditor, and stop.
TEST_F(ControlsTest, DatarefsAndTheStatusLineFollowTheLink) {
  Fresh();
  simxp::AddPlugin("xplanesdk.examples.DataRefEditor");
  ASSERT_EQ(Start(), 1);
  Frame();
  EXPECT_EQ(simxp::MessagesTo("xplanesdk.examples.DataRefEditor"),
            (std::vector<std::string>{"16777216 corvane/head_tracker/enabled", "16777216 corvane/head_tracker/frozen",
                                      "16777216 corvane/head_tracker/link_state", "16777216 corvane/head_tracker/pose",
                                      "16777216 corvane/head_tracker/smoothing"}));
  EXPECT_EQ(Ref("link_state"), 0);
  Stream({0, 0, 0, 20, 10, 0}, 130);
  EXPECT_EQ(Ref("link_state"), 1);
  EXPECT_EQ(Status(), "Phone: 127.0.0.1 — 60 packets/s");
  float pose[8] = {};
  EXPECT_EQ(simxp::GetFloats(kCmd + "pose", nullptr, 0, 0), 6);
  for (int offset : {-1, 6, 1 << 30}) EXPECT_EQ(simxp::GetFloats(kCmd + "pose", pose, offset, 8), 0);
  EXPECT_EQ(simxp::GetFloats(kCmd + "pose", pose, 2, 0), 0);
  EXPECT_EQ(simxp::GetFloats(kCmd + "pose", pose, 3, 8), 3);
  EXPECT_EQ((std::vector<float>(pose, pose + 4)), (std::vector<float>{50.0f, -20.0f, 0.0f, 0.0f}));
  Frame(2.5f);
  EXPECT_EQ(Ref("link_state"), 2);
  EXPECT_EQ(Status(), "Phone: silent for 2 s");
  phone().Send(PoseBytes(++seq_, {}, true, 3));
  Frame();
  EXPECT_EQ(Ref("link_state"), 3) << "a mismatch wins over silence";
  EXPECT_EQ(Status(), "Phone: silent for 2 s") << "renamed at most once a second";
  Frame(1.0f);
  EXPECT_EQ(Status(), "Phone: wrong protocol version — update the app");

  simxp::SetInt(kCmd + "enabled", 7);
  EXPECT_EQ(Ref("enabled"), 1) << "7 is not 0, and tracking is already on: nothing to do";
  simxp::SetInt(kCmd + "enabled", 0);
  simxp::SetInt(kCmd + "frozen", -1);
  simxp::SetInt(kCmd + "link_state", 1);
  EXPECT_EQ(Ref("link_state"), 3) << "read only";
  plugin_.Disable();
  plugin_.Enable();
  EXPECT_EQ(Menu().substr(0, 28), "-Head tracking;+Freeze view;") << "disable keeps the controls";
  EXPECT_EQ(LinesStartingWith("tracking off (dataref)").size() + LinesStartingWith("view frozen (dataref)").size(), 2u);
  Stop();  // the host records anything of ours left registered as a fault
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(Ref("enabled") * 10 + Ref("frozen"), 10) << "stop clears them";
}

}  // namespace

// Another view, or another add-on's camera: the head put back to neutral once, left alone, eased in again
// from a blend of 0, and the status line says why. HeadShake's override: never written while HeadShake is
// not there, found when it comes up after us, 1 while we move the head, 0 when we step aside, the link
// fades, tracking goes off and on disable.
TEST_F(ControlsTest, StepsAsideAndHeadShakeStandsBack) {
  const std::string override = "simcoders/headshake/override";
  const Pose pose{0.1f, 0, 0, 20, 0, 0};
  simxp::PublishInt(override, 0, true);
  Stream(pose, 70);
  EXPECT_EQ(simxp::IntWrites(override), std::vector<int>{});
  simxp::AddPlugin("com.simcoders.headshake");
  Stream(pose, 70);
  for (const bool camera : {false, true}) {
    camera ? simxp::HoldCamera(true) : simxp::SetInt(simxp::kViewTypeRef, 1017);
    const uint64_t before = simxp::WriteCount(simxp::kHeadRefs[3]);
    Stream(pose, 70);
    EXPECT_EQ((std::vector<double>{double(simxp::WriteCount(simxp::kHeadRefs[3]) - before), Head(0), Head(3)}),
              (std::vector<double>{1, 0.1f, 0})) << "neutral once, then nothing";
    EXPECT_EQ(Status(), camera ? "Paused: another add-on holds the camera" : "Paused: outside the 3D cockpit");
    camera ? simxp::HoldCamera(false) : simxp::SetInt(simxp::kViewTypeRef, 1026);
    Stream(pose, 9);
    EXPECT_NEAR(Head(3), 25.0f, 1e-3) << "half-way up again";
  }
  Frames(40);
  Stream(pose, 2);
  Press("toggle");
  Frames(1);
  Press("toggle");
  Stream(pose, 2);
  plugin_.Disable();
  EXPECT_EQ(simxp::IntWrites(override), (std::vector<int>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0}));
}

class SmoothTest : public ControlsTest {
 public:
  // A head turning steadily: yaw 0.1 degrees per sample, so the view moves 0.25 degrees per sample.
  void Ramp(phone::Link &from, uint32_t seq) {
    ASSERT_TRUE(from.Send(PoseBytes(seq, {0, 0, 0, 0.1f * (seq % 1000), 0, 0})));
  }
};

// A 60 Hz phone read by 45 frames a second: one, one, then two samples a frame. Without smoothing the view
// moves in uneven steps; with it, every step is the same within a tenth.
TEST_F(SmoothTest, EvenStepsAtAnotherFrameRate) {
  for (int on : {0, 1}) {
    Fresh();
    ASSERT_EQ(Start(), 1);
    simxp::SetInt(kCmd + "smoothing", on);
    float smallest = 1e9f, largest = 0, last = 0;
    uint32_t seq = 1;
    for (uint32_t frame = 1; frame <= 150; ++frame) {
      for (; seq * 45 <= frame * 60; ++seq) Ramp(phone(), seq), ++phone().sinceFrame;
      Frame(1.0f / 45.0f);
      if (frame > 60) smallest = std::min(smallest, Head(3) - last), largest = std::max(largest, Head(3) - last);
      last = Head(3);
    }
    EXPECT_GT(smallest, 0.0f);
    EXPECT_LT(largest / smallest, on ? 1.1f : 100.0f) << "smoothing " << on;
    EXPECT_GT(largest / smallest, on ? 0.0f : 1.9f) << "smoothing " << on;
    // Freeze and the centre act on the smoothed pose as on the raw one: held exactly, then straight ahead.
    Press("freeze");
    for (int i = 0; i < 10; ++i) Ramp(phone(), seq++), ++phone().sinceFrame, Frame(1.0f / 45.0f);
    EXPECT_EQ(Head(3), last);
    Press("freeze");
    Press("recenter");
    seq_ = seq;
    Stream({0, 0, 0, 0.1f * (seq - 1), 0, 0}, 40);
    EXPECT_EQ(Head(3), 0.0f);
  }
}

// A sender restart, a long silence or another phone starts a new history: once it has enough samples, the
// view again shows the turn less than a sample late (0.25 degrees of view), never a mix of the two histories.
TEST_F(SmoothTest, ARestartASilenceOrAnotherPhoneStartsAfresh) {
  phone::Link other;
  const struct {
    const char *what;
    uint32_t seq;
    int silentFrames;
    phone::Link *from;
  } cases[] = {{"restart", 5, 0, &phone()}, {"silence", 2101, 40, &phone()}, {"another phone", 90000, 0, &other}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    ASSERT_EQ(Start(), 1);
    simxp::SetInt(kCmd + "smoothing", 1);
    for (uint32_t seq = 2001; seq <= 2100; ++seq) Ramp(phone(), seq), ++phone().sinceFrame, Frame();
    Frames(c.silentFrames);
    for (uint32_t seq = c.seq; seq < c.seq + 30; ++seq) Ramp(*c.from, seq), ++phone().sinceFrame, Frame();
    const float newest = 2.5f * 0.1f * ((c.seq + 29) % 1000);
    EXPECT_GT(Head(3), newest - 0.25f);
    EXPECT_LT(Head(3), newest - 0.05f);
  }
}

// The pilot's choice across starts, through "Corvane Head Tracker.prf": what each file gives at start,
// the one log line a bad file earns, and the file as the next change writes it (unknown keys kept).
TEST_F(ControlsTest, SmoothingIsKeptInThePreferencesFile) {
  const std::string folder = system_.Path() + "/Output/preferences", file = folder + "/Corvane Head Tracker.prf";
  const struct {
    const char *what;
    std::string text;  // "-": no file; "/": a folder in its place
    int smoothing;
    const char *line, *rewritten;  // the log line after the DNS-SD one, the file after a toggle
  } cases[] = {
      {"missing", "-", 0, "started", "smoothing=1\n"},
      {"on", "smoothing=1\r\n", 1, "smooth motion on (preferences)", "smoothing=0\n"},
      {"unknown key", "view=wide\nsmoothing=1\n", 1, "preferences: unknown key in \"view\" kept",
       "smoothing=0\nview=wide\n"},
      {"empty", "", 0, "preferences empty: ", "smoothing=1\n"},
      {"garbled", "smoothing\n", 0, "preferences not understood: ", "smoothing=1\n"},
      {"bad value", "smoothing=yes\nview=wide\n", 0, "preferences not understood: ", "smoothing=1\n"},
      {"a NUL", std::string("smoothing=1\0", 12), 0, "preferences not understood: ", "smoothing=1\n"},
      {"over-long", std::string(5000, '#'), 0, "preferences too long: ", "smoothing=1\n"},
      {"unreadable", "/", 0, "preferences unreadable: ", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(c.text == "/" ? file : folder);
    if (c.text != "-" && c.text != "/") system_.Write("Output/preferences/Corvane Head Tracker.prf", c.text);
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Ref("smoothing"), c.smoothing);
    const auto lines = Lines();
    EXPECT_EQ(lines.at(2).rfind(std::string("CVHT: ") + c.line, 0), 0u) << lines.at(2);
    Press("smoothing");
    if (!c.rewritten) continue;
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.rewritten);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    Stop();
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Ref("smoothing"), 1 - c.smoothing) << "read back at the next start";
  }
  std::filesystem::remove_all(folder);
  Press("smoothing");
  EXPECT_EQ(LastLine(), "CVHT: preferences not saved: " + file + " — No such file or directory");
}
