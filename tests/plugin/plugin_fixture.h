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

#include "../support/process_counts.h"
#include "../support/temp_dir.h"
#include "aptgen.h"
#include "cvht_wire.h"
#include "hosted_session.h"
#include "phone_link.h"

namespace cvhttest {

using phone::As;
using phone::OfMagic;
using phone::Pose;
using phone::QueryBytes;
using cvhtproc::OpenDescriptors;
using cvhtsupport::TempDir;

// A pose whose echo bytes (seq * 7, seq * 7 + 1, ...) tell which pose a status packet answers.
inline std::string PoseBytes(uint32_t seq, const Pose &p = {}, bool tracking = true,
                             uint16_t version = cvht::kPoseVersion) {
  uint64_t echo = 0;
  for (int i = 0; i < 8; ++i) echo |= uint64_t(uint8_t(seq * 7 + i)) << 8 * i;
  return phone::PoseBytes(seq, echo, p, tracking, version);
}

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
class Phone : public phone::Link {
 public:
  void Send(const std::string &bytes) {
    ASSERT_TRUE(Link::Send(bytes)) << "a " << bytes.size() << "-byte datagram";
    ++sinceFrame;
  }
  int sinceFrame = 0;  // datagrams sent since the last frame
};

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fdsBefore_ = OpenDescriptors();
    session_.frame = [this] { Frame(); };
    Fresh();
  }

  // The plug-in loaded afresh, stopped and unloaded first, into a fresh simulated X-Plane without these
  // datarefs: one row of a table after another.
  void Fresh(const std::vector<std::string> &omit = {}) {
    phone_.Take();
    ASSERT_TRUE(session_.Open(system_.Path(), omit)) << session_.Error();
  }

  void TearDown() override {
    EXPECT_TRUE(session_.Close()) << "the plug-in stayed in the process after unload";
    EXPECT_EQ(simxp::Faults(), std::vector<std::string>{});
    EXPECT_EQ(OpenDescriptors(), fdsBefore_) << "a descriptor leaked";
  }

  int Start() { return session_.Start(); }
  void Stop() { session_.Stop(); }

  Phone &phone() { return phone_; }

  void Frame(float dt = 1.0f / 60.0f) {
    if (std::exchange(phone_.sinceFrame, 0) > 0) cvhtproc::AwaitDelivery();
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
  std::vector<std::string> AwaitLines(const std::string &text, size_t n = 1) { return session_.AwaitLines(text, n); }
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
  static std::vector<std::string> LinesStartingWith(const std::string &text) { return simxp::PluginLines(text); }
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
  simxp::Session session_;
  simxp::Plugin &plugin_ = session_.plugin();
  Phone phone_;  // made before SetUp counts the descriptors
  uint32_t seq_ = 0;  // the last sequence number Stream sent
  int fdsBefore_ = 0;
};

}  // namespace cvhttest
