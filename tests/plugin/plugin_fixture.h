// Test fixture: the real TAVRO.xpl in our simulated X-Plane, and a phone on a real UDP socket.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cvht_wire.h"
#include "xplm_sim.h"

namespace cvhttest {

inline int OpenDescriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

struct Pose {
  float x = 0, y = 0, z = 0, yaw = 0, pitch = 0, roll = 0;
};

inline std::string PoseBytes(uint32_t seq, const Pose &p = {}, bool tracking = true, uint16_t version = 4) {
  cvht::PosePacket pk{};
  std::memcpy(pk.magic, "CVHT", 4);
  pk.version = version;
  pk.flags = tracking ? cvht::kPoseTracking : 0;
  pk.seq = seq;
  for (int i = 0; i < 8; ++i) pk.echo[i] = static_cast<uint8_t>(seq * 7 + i);
  pk.x = p.x;
  pk.y = p.y;
  pk.z = p.z;
  pk.yaw = p.yaw;
  pk.pitch = p.pitch;
  pk.roll = p.roll;
  return std::string(reinterpret_cast<const char *>(&pk), sizeof pk);
}

inline std::string QueryBytes(const std::string &ident, uint16_t version = 1) {
  cvht::AirportQuery q{};
  std::memcpy(q.magic, "CVHQ", 4);
  q.version = version;
  std::memcpy(q.ident, ident.data(), std::min<size_t>(ident.size(), 8));
  return std::string(reinterpret_cast<const char *>(&q), sizeof q);
}

// The phone: a UDP socket on 127.0.0.1 that sends to the plug-in's port and keeps what comes back.
class Phone {
 public:
  Phone() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    fcntl(fd_, F_SETFL, O_NONBLOCK);
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_.sin_port = htons(cvht::kPort);
  }
  ~Phone() { close(fd_); }
  Phone(const Phone &) = delete;
  Phone &operator=(const Phone &) = delete;

  void Send(const std::string &bytes) {
    ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to_), sizeof to_),
              static_cast<ssize_t>(bytes.size()));
  }
  // Everything that has arrived since the last call, in arrival order.
  std::vector<std::string> Take() {
    Drain();
    std::vector<std::string> out;
    out.swap(received_);
    return out;
  }
  void Drain() {
    std::vector<char> buf(65536);
    for (;;) {
      ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
      if (n < 0) break;
      received_.emplace_back(buf.data(), static_cast<size_t>(n));
    }
  }
  uint16_t Port() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
  }

 private:
  int fd_ = -1;
  sockaddr_in to_{};
  std::vector<std::string> received_;
};

template <typename T>
T As(const std::string &bytes) {
  T v{};
  std::memcpy(&v, bytes.data(), std::min(sizeof v, bytes.size()));
  return v;
}

inline std::vector<std::string> OfMagic(const std::vector<std::string> &packets, const char *magic) {
  std::vector<std::string> out;
  for (const auto &p : packets)
    if (p.size() >= 4 && std::memcmp(p.data(), magic, 4) == 0) out.push_back(p);
  return out;
}

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
