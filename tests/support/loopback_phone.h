// The phone's side of the link on loopback, free of any test framework: the tests, the fuzz targets and
// the benchmarks all speak to the real plug-in through it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cvht_wire.h"

namespace cvhtphone {

struct Pose {
  float x = 0, y = 0, z = 0, yaw = 0, pitch = 0, roll = 0;
};

// A pose packet as the phone sends it; the echo bytes follow from the sequence number so a status
// packet's echo can be checked against the pose it answers.
inline std::string PoseBytes(uint32_t seq, const Pose &p = {}, bool tracking = true,
                             uint16_t version = cvht::kPoseVersion) {
  cvht::PosePacket pk{};
  std::memcpy(pk.magic, "CVHT", 4);
  pk.version = version;
  pk.flags = tracking ? cvht::kPoseTracking : 0;
  pk.seq = seq;
  for (int i = 0; i < 8; ++i) pk.echo[i] = static_cast<uint8_t>(seq * 7 + i);
  static_assert(sizeof p == 6 * sizeof(float), "x, y, z, yaw, pitch, roll as the packet has them");
  std::memcpy(&pk.x, &p, sizeof p);
  return std::string(reinterpret_cast<const char *>(&pk), sizeof pk);
}

inline std::string QueryBytes(const std::string &ident, uint16_t version = cvht::kQueryVersion) {
  cvht::AirportQuery q{};
  std::memcpy(q.magic, "CVHQ", 4);
  q.version = version;
  std::memcpy(q.ident, ident.data(), std::min<size_t>(ident.size(), sizeof q.ident));
  return std::string(reinterpret_cast<const char *>(&q), sizeof q);
}

// A UDP socket on 127.0.0.1 that sends to the plug-in's port and keeps what comes back.
class Phone {
 public:
  Phone() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    // Room for every reply of a long run of frames without reading.
    int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    fcntl(fd_, F_SETFL, O_NONBLOCK);
    to_ = a;
    to_.sin_port = htons(cvht::kPort);
  }
  ~Phone() { close(fd_); }
  Phone(const Phone &) = delete;
  Phone &operator=(const Phone &) = delete;

  // False when the datagram did not leave whole.
  bool SendBytes(const std::string &bytes) {
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to_), sizeof to_) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Everything that has arrived since the last call, in arrival order.
  std::vector<std::string> Take() {
    Drain();
    std::vector<std::string> out;
    out.swap(received_);
    return out;
  }
  // Reads what is waiting into the kept packets, so the socket never fills up.
  void Drain() {
    char buf[65536];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n < 0) break;
      received_.emplace_back(buf, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  sockaddr_in to_{};
  std::vector<std::string> received_;
};

// On a busy machine the kernel may hand a loopback datagram over a moment after sendto returns. A frame that
// must drain what was sent first waits, a second at most, until the plug-in's socket (found by its port among
// this process's descriptors) holds something. Nothing waits when the plug-in has no socket.
inline void AwaitDelivery() {
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    pollfd plugin{std::atoi(e.path().filename().c_str()), POLLIN, 0};
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(plugin.fd, reinterpret_cast<sockaddr *>(&a), &len) == 0 && a.sin_family == AF_INET &&
        ntohs(a.sin_port) == cvht::kPort) {
      poll(&plugin, 1, 1000);
      return;
    }
  }
}

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

}  // namespace cvhtphone
