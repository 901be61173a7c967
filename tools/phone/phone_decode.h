// Decoding of every packet on UDP 49707 into readable text or one JSON object, for the phone tool.
// Short, unknown or malformed packets decode to a description of what is wrong, never to a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace phone {

enum class Kind { Pose, Query, Status, FlightState, Airport, AirportReply, Weather, Identity, Bad };

// The kind a datagram is by its magic, length and flags; Bad when it is none of them.
Kind Classify(const uint8_t *data, size_t size);
const char *KindName(Kind k);

// One line of text (airport packets: several lines) describing the packet.
std::string DecodeText(const uint8_t *data, size_t size);
// One JSON object on one line, with the packet's fields named as on the wire.
std::string DecodeJson(const uint8_t *data, size_t size);

}  // namespace phone
