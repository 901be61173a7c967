// Test fixture: the real TAVRO.xpl in our simulated X-Plane, and a phone on a real UDP socket.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/loopback_phone.h"
#include "../support/process_counts.h"
#include "cvht_wire.h"
#include "xplm_sim.h"

namespace cvhttest {

using cvhtphone::As;
using cvhtphone::OfMagic;
using cvhtphone::Pose;
using cvhtphone::PoseBytes;
using cvhtphone::QueryBytes;
using cvhtproc::OpenDescriptors;

// The loopback phone; a datagram that does not leave whole fails the test.
class Phone : public cvhtphone::Phone {
 public:
  void Send(const std::string &bytes) { ASSERT_TRUE(SendBytes(bytes)) << "a " << bytes.size() << "-byte datagram"; }
};

// A temporary folder that is removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/cvht-test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fdsBefore_ = OpenDescriptors();
    simxp::Reset();
    simxp::PublishStandardAircraft();
    simxp::SetSystemPath(system_.Path() + "/");
    ASSERT_TRUE(plugin_.Load(simxp::DefaultPluginPath())) << plugin_.Error();
  }

  void TearDown() override {
    if (started_) Stop();
    EXPECT_TRUE(plugin_.Unload()) << "the plug-in stayed in the process after unload";
    EXPECT_EQ(simxp::Faults(), std::vector<std::string>{});
    EXPECT_EQ(OpenDescriptors() - phoneFds_, fdsBefore_) << "a descriptor leaked";
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

  Phone &phone() {
    if (!phone_) {
      phone_ = std::make_unique<Phone>();
      phoneFds_ = 1;
    }
    return *phone_;
  }

  void Frame(float dt = 1.0f / 60.0f) {
    simxp::RunFrame(dt);
    if (phone_) phone_->Drain();
  }
  void Frames(int n, float dt = 1.0f / 60.0f) {
    for (int i = 0; i < n; ++i) Frame(dt);
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
  static std::string LastLine() {
    auto lines = simxp::LogLines();
    return lines.empty() ? std::string() : lines.back();
  }

  TempDir system_;
  simxp::Plugin plugin_;
  std::unique_ptr<Phone> phone_;
  bool started_ = false;
  int fdsBefore_ = 0;
  int phoneFds_ = 0;
};

}  // namespace cvhttest
