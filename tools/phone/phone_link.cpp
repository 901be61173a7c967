// The phone's packets as bytes and its UDP socket to the plug-in.
#include "phone_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace phone {

namespace {

bool BoundToPort(int fd, uint16_t port) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  return fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0 && a.sin_family == AF_INET &&
         a.sin_port == port;
}

// The descriptor of this process bound to that UDP port (network order), or -1.
int LocalSocket(uint16_t port) {
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const int fd = std::atoi(e.path().filename().c_str());
    if (BoundToPort(fd, port)) return fd;
  }
  return -1;
}

// Bytes the kernel holds in a socket's receive queue, its bookkeeping per datagram included; -1 where it
// cannot be asked. Only arrivals change it while nobody reads the socket.
long QueuedBytes(int fd) {
#ifdef SO_MEMINFO
  uint32_t info[16] = {};
  socklen_t len = sizeof info;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0) return info[0];  // SK_MEMINFO_RMEM_ALLOC
#endif
  (void)fd;
  return -1;
}

}  // namespace

std::string PoseBytes(uint32_t seq, uint64_t echo, const Pose &p, bool tracking, uint16_t version) {
  cvht::PosePacket pk{};
  std::memcpy(pk.magic, "CVHT", 4);
  pk.version = version;
  pk.flags = tracking ? cvht::kPoseTracking : 0;
  pk.seq = seq;
  std::memcpy(pk.echo, &echo, sizeof pk.echo);
  static_assert(sizeof p == 6 * sizeof(float), "x, y, z, yaw, pitch, roll as the packet has them");
  std::memcpy(&pk.x, &p, sizeof p);
  return std::string(reinterpret_cast<const char *>(&pk), sizeof pk);
}

std::string QueryBytes(const std::string &ident, uint16_t version) {
  cvht::AirportQuery q{};
  std::memcpy(q.magic, "CVHQ", 4);
  q.version = version;
  std::memcpy(q.ident, ident.data(), std::min(ident.size(), sizeof q.ident));
  return std::string(reinterpret_cast<const char *>(&q), sizeof q);
}

std::vector<std::string> OfMagic(const std::vector<std::string> &packets, const char *magic) {
  std::vector<std::string> out;
  for (const auto &p : packets)
    if (p.size() >= 4 && std::memcmp(p.data(), magic, 4) == 0) out.push_back(p);
  return out;
}

Link::Link(const std::string &host, int port) {
  to_.sin_family = AF_INET;
  to_.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &to_.sin_addr) != 1) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
      error_ = "cannot resolve " + host;
      return;
    }
    to_.sin_addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
  }
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) {
    error_ = "cannot open a UDP socket";
    return;
  }
  // Room for every reply of a long run of frames without reading (where the system allows it).
  int big = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  fcntl(fd_, F_SETFL, O_NONBLOCK);
}

Link::~Link() {
  if (fd_ >= 0) close(fd_);
}

bool Link::Send(const std::string &bytes) {
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to_), sizeof to_) ==
         static_cast<ssize_t>(bytes.size());
}

bool Link::SendDelivered(const std::string &bytes, int ms) {
  if (!BoundToPort(receiver_, to_.sin_port)) receiver_ = LocalSocket(to_.sin_port);
  const long before = receiver_ < 0 ? -1 : QueuedBytes(receiver_);
  if (!Send(bytes)) return false;
  if (before < 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (QueuedBytes(receiver_) <= before) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  return true;
}

bool Link::Wait(int ms) {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

void Link::Drain(size_t most) {
  char buf[65536];
  for (size_t i = 0; i < most; ++i) {
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) break;
    received_.emplace_back(buf, static_cast<size_t>(n));
  }
}

std::vector<std::string> Link::Take(size_t most) {
  Drain(most);
  std::vector<std::string> out;
  out.swap(received_);
  return out;
}

}  // namespace phone
