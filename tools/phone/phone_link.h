// The phone's side of the link: its packets as bytes, and a UDP socket that sends them to the plug-in and
// keeps what comes back. cvht-phone, the benchmarks, the fuzz targets and the tests all speak through it.
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cvht_wire.h"

namespace phone {

struct Pose {
  float x = 0, y = 0, z = 0, yaw = 0, pitch = 0, roll = 0;
};

// A pose packet; the plug-in hands the eight echo bytes back unchanged in the status packet that answers it.
std::string PoseBytes(uint32_t seq, uint64_t echo, const Pose &p = {}, bool tracking = true,
                      uint16_t version = cvht::kPoseVersion);
// An airport question; an identifier longer than the field is cut to it.
std::string QueryBytes(const std::string &ident, uint16_t version = cvht::kQueryVersion);

// A packet's leading bytes as a wire struct; bytes it lacks stay zero.
template <typename T>
T As(const std::string &bytes) {
  T v{};
  std::memcpy(&v, bytes.data(), std::min(sizeof v, bytes.size()));
  return v;
}
// The packets that begin with this four-byte magic.
std::vector<std::string> OfMagic(const std::vector<std::string> &packets, const char *magic);

// A UDP socket that sends to the plug-in's address and keeps what comes back, in arrival order.
class Link {
 public:
  // The host by address or name; Error() says why when it cannot be reached.
  explicit Link(const std::string &host = "127.0.0.1", int port = cvht::kPort);
  ~Link();
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;

  const std::string &Error() const { return error_; }
  // False when the datagram did not leave whole.
  bool Send(const std::string &bytes);
  // Sends, then, when the receiving socket is in this process (a hosted plug-in's), waits up to ms until
  // the datagram is in its queue: on a busy machine loopback hands it over a moment after sendto returns,
  // and a frame that must drain what was sent first would miss it. False when it did not leave whole or
  // did not arrive in time.
  bool SendDelivered(const std::string &bytes, int ms = 1000);
  // Waits up to ms for something to arrive; true when something has.
  bool Wait(int ms);
  // Reads what is waiting (at most `most` datagrams, so a flood cannot hold the caller) into the kept packets.
  void Drain(size_t most = SIZE_MAX);
  // Everything kept and waiting, and forgets it.
  std::vector<std::string> Take(size_t most = SIZE_MAX);

 private:
  int fd_ = -1;
  int receiver_ = -1;  // the in-process socket bound to the destination port, when there is one
  sockaddr_in to_{};
  std::string error_;
  std::vector<std::string> received_;
};

}  // namespace phone
