// Test fixture: the real TAVRO.xpl in our simulated X-Plane, and a phone on a real UDP socket.
#pragma once

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../support/loopback_phone.h"
#include "../support/process_counts.h"
#include "../support/temp_dir.h"
#include "aptgen.h"
#include "cvht_wire.h"
#include "xplm_sim.h"

namespace cvhttest {

using cvhtphone::As;
using cvhtphone::OfMagic;
using cvhtphone::Pose;
using cvhtphone::PoseBytes;
using cvhtphone::QueryBytes;
using cvhtproc::OpenDescriptors;
using cvhtsupport::TempDir;

constexpr const char *kAptRel = "Global Scenery/Global Airports/Earth nav data/apt.dat";

// A packet struct as the bytes it goes out as.
template <typename T>
std::string Bytes(const T &v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

// apt.dat text: each airport a header, its runways (widths 30, 31, ... m) and its datum.
class AptText {
 public:
  AptText &Airport(const std::string &ident, int elevationFt, double lat, double lon, int runways = 0) {
    using aptgen::Designator, aptgen::Fixed;
    text_ += aptgen::Header(ident, std::to_string(elevationFt));
    for (int r = 0; r < runways; ++r)
      text_ += aptgen::RunwayRow({{Designator(r % 36 + 1, "L"), Fixed(lat - 0.01, 8), Fixed(lon - 0.01 * r, 8)},
                                  {Designator((r + 18) % 36 + 1, "R"), Fixed(lat + 0.01, 8), Fixed(lon + 0.01 * r, 8)},
                                  Fixed(30.0 + r, 2)});
    text_ += aptgen::Datum(Fixed(lat, 8), Fixed(lon, 8));
    return *this;
  }
  std::string Text() const { return text_ + aptgen::End(); }

 private:
  std::string text_ = aptgen::Preamble();
};

// The loopback phone; a datagram that does not leave whole fails the test.
class Phone : public cvhtphone::Phone {
 public:
  void Send(const std::string &bytes) {
    ASSERT_TRUE(SendBytes(bytes)) << "a " << bytes.size() << "-byte datagram";
    ++sinceFrame;
  }
  int sinceFrame = 0;  // datagrams sent since the last frame
};

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fdsBefore_ = OpenDescriptors();
    Fresh();
  }

  // The plug-in loaded afresh, stopped and unloaded first, into a fresh simulated X-Plane without these
  // datarefs: one row of a table after another.
  void Fresh(const std::vector<std::string> &omit = {}) {
    if (started_) Stop();
    ASSERT_TRUE(!plugin_.Loaded() || plugin_.Unload()) << "the plug-in stayed in the process after unload";
    simxp::Reset();
    simxp::PublishStandardAircraft();
    simxp::SetSystemPath(system_.Path() + "/");
    for (const auto &name : omit) simxp::Omit(name);
    phone_.Take();
    ASSERT_TRUE(plugin_.Load(simxp::DefaultPluginPath())) << plugin_.Error();
  }

  void TearDown() override {
    if (started_) Stop();
    EXPECT_TRUE(plugin_.Unload()) << "the plug-in stayed in the process after unload";
    EXPECT_EQ(simxp::Faults(), std::vector<std::string>{});
    EXPECT_EQ(OpenDescriptors(), fdsBefore_) << "a descriptor leaked";
  }

  int Start() {
    int r = plugin_.Start();
    started_ = r == 1;
    return r;
  }
  void Stop() {
    plugin_.Stop();
    started_ = false;
  }

  Phone &phone() { return phone_; }

  void Frame(float dt = 1.0f / 60.0f) {
    if (std::exchange(phone_.sinceFrame, 0) > 0) cvhtphone::AwaitDelivery();
    simxp::RunFrame(dt);
    phone_.Drain();
  }
  void Frames(int n, float dt = 1.0f / 60.0f) {
    for (int i = 0; i < n; ++i) Frame(dt);
  }
  // Streams the same pose for n frames at 60 Hz, each with the next sequence number.
  void Stream(const Pose &p, int n, bool tracking = true) {
    for (int i = 0; i < n; ++i) {
      phone().Send(PoseBytes(++seq_, p, tracking));
      Frame();
    }
  }

  // Writes apt.dat into the simulated X-Plane folder.
  void WriteApt(const std::string &text) {
    const std::filesystem::path p = std::filesystem::path(system_.Path()) / kAptRel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  // Runs frames in real time until n log lines begin with this text (ten seconds at most); those lines.
  std::vector<std::string> AwaitLines(const std::string &text, size_t n = 1) {
    for (int i = 0; i < 2000 && LinesStartingWith(text).size() < n; ++i) {
      Frame();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return LinesStartingWith(text);
  }
  // Until the scan has written its n-th result line.
  std::vector<std::string> AwaitScan(size_t n = 1) { return AwaitLines("apt.dat ", n); }
  // Starts and waits until the scan has reported, so the index is published; what was sent meanwhile
  // is dropped.
  void StartAndAwaitScan() {
    ASSERT_EQ(Start(), 1);
    ASSERT_FALSE(AwaitScan().empty());
    phone_.Take();
  }

  // The status packets received since the last call.
  std::vector<cvht::StatusPacket> Statuses() {
    std::vector<cvht::StatusPacket> out;
    for (const auto &p : OfMagic(phone().Take(), "CVHS")) out.push_back(As<cvht::StatusPacket>(p));
    return out;
  }

  static float Head(int i) { return simxp::GetFloat(simxp::kHeadRefs[i]); }

  static std::vector<std::string> Lines() { return simxp::LogLines(); }
  // Log lines that begin with the prefix and this text.
  static std::vector<std::string> LinesStartingWith(const std::string &text) {
    std::vector<std::string> out;
    for (const auto &l : simxp::LogLines())
      if (l.rfind("CVHT: " + text, 0) == 0) out.push_back(l);
    return out;
  }
  // The value of key=... in the latest link report and the link line after it, as printed.
  static std::string ReportField(const std::string &key) {
    const auto report = LinesStartingWith("recv="), link = LinesStartingWith("link ");
    if (report.empty() || link.empty()) return "<no report>";
    const std::string line = report.back() + link.back().substr(10) + " ";
    const auto at = line.find(" " + key + "=");
    if (at == std::string::npos) return "<no " + key + ">";
    const auto start = at + key.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
  }
  static std::string LastLine() {
    auto lines = simxp::LogLines();
    return lines.empty() ? std::string() : lines.back();
  }

  TempDir system_;
  simxp::Plugin plugin_;
  Phone phone_;  // made before SetUp counts the descriptors
  bool started_ = false;
  uint32_t seq_ = 0;  // the last sequence number Stream sent
  int fdsBefore_ = 0;
};

}  // namespace cvhttest
