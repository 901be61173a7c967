// Packet layouts between the phone and the plug-in on UDP 49707: little-endian, single-precision
// floats, fixed NUL-terminated text fields, every unfilled byte zero.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "packets are laid out in host order, which must be little-endian");

namespace cvht {

constexpr int kPort = 49707;
constexpr const char *kServiceType = "_zodavidoreraz._udp";

#pragma pack(push, 1)

// Inbound head pose, "CVHT" version 4.
struct PosePacket {
  char magic[4];
  uint16_t version;
  uint16_t flags;  // bit 0: tracking (refreshes the freshness clock)
  uint32_t seq;
  uint8_t reserved[4];
  uint8_t echo[8];  // returned unchanged in the status packet
  float x, y, z;        // metres
  float yaw, pitch, roll;  // degrees
};
constexpr uint16_t kPoseVersion = 4;
constexpr uint16_t kPoseTracking = 1u << 0;

// Inbound airport question, "CVHQ" version 1; the only packet without a flag word.
struct AirportQuery {
  char magic[4];
  uint16_t version;
  char ident[8];  // bytes 6..12 count, byte 13 is taken as NUL
};
constexpr uint16_t kQueryVersion = 1;

// Outbound link status and flight data, every frame.
struct StatusPacket {
  char magic[4];
  uint16_t version;
  uint16_t flags;
  float blend;
  int32_t viewType;
  uint16_t dataFlags;
  uint16_t reserved;
  float pitchDeg, rollDeg, iasKt, altFt, vsFpm, headingMagDeg, tasKt, gsKt;
  float lat, lon;
  uint8_t echo[8];
  uint32_t seq;
  uint32_t drained;
  float trackDeg;
};
constexpr uint16_t kStatusVersion = 4;
constexpr uint16_t kStatusFresh = 1u << 0;
constexpr uint16_t kStatusAlways = 1u << 1;
constexpr uint16_t kStatusMismatch = 1u << 2;
constexpr uint16_t kDataFlight = 1u << 0;
constexpr uint16_t kDataTrack = 1u << 1;

// Outbound flight state for the phone's recording, every frame.
struct FlightStatePacket {
  char magic[4];
  uint16_t version;
  uint16_t flags;
  float aglFt;
  float loadFactor;
  float simTimeSec;
};
constexpr uint16_t kFlightStateVersion = 1;
constexpr uint16_t kFsOnGroundKnown = 1u << 0;
constexpr uint16_t kFsOnGround = 1u << 1;
constexpr uint16_t kFsAgl = 1u << 2;
constexpr uint16_t kFsLoad = 1u << 3;
constexpr uint16_t kFsSimTime = 1u << 4;
constexpr uint16_t kFsPauseKnown = 1u << 5;
constexpr uint16_t kFsPaused = 1u << 6;
constexpr uint16_t kFsReplay = 1u << 7;

// Outbound nearby airports (every second) and the airport-query reply: header, airport entries,
// runway entries, and in the reply a trailing int16 elevation.
struct AirportPacketHeader {
  char magic[4];
  uint16_t version;
  uint16_t flags;
  float lat;
  float lon;
  uint16_t airportCount;
  uint16_t runwayCount;
};
struct AirportEntry {
  char ident[8];
  float lat;
  float lon;
};
struct RunwayEntry {
  uint8_t airport;  // position among this packet's airport entries
  uint8_t zero;
  int16_t widthDm;
  char end1[4];
  char end2[4];
  float lat1, lon1, lat2, lon2;
};
constexpr uint16_t kAirportVersion = 1;
constexpr uint16_t kAirportIndexAvailable = 1u << 0;
constexpr uint16_t kAirportScanDone = 1u << 1;
constexpr uint16_t kAirportQueryReply = 1u << 2;
constexpr int kMaxAirportEntries = 44;
constexpr int kMaxRunwayEntries = 24;
constexpr int kRunwayAirports = 4;
constexpr std::size_t kMaxAirportPacket = sizeof(AirportPacketHeader) + 16 * kMaxAirportEntries + 28 * kMaxRunwayEntries;
constexpr int16_t kNoElevation = -32768;

// Outbound weather and the nearest airport's METAR, every two seconds.
struct WeatherPacket {
  char magic[4];
  uint16_t version;
  uint16_t flags;
  float windDirDeg, windKt, qnhHpa, visSm, oatC;
  char metarStation[8];
  char metar[150];
};
constexpr uint16_t kWeatherVersion = 1;
constexpr uint16_t kWeatherValid = 1u << 0;
constexpr uint16_t kWeatherMetar = 1u << 1;

// Outbound aircraft identity, every five seconds and after an aircraft load.
struct IdentityPacket {
  char magic[4];
  uint16_t version;
  uint16_t flags;
  char tailNumber[40];
  char icaoType[40];
};
constexpr uint16_t kIdentityVersion = 1;
constexpr uint16_t kIdentityTail = 1u << 0;
constexpr uint16_t kIdentityIcao = 1u << 1;

#pragma pack(pop)

static_assert(sizeof(PosePacket) == 48);
static_assert(offsetof(PosePacket, version) == 4 && offsetof(PosePacket, flags) == 6);
static_assert(offsetof(PosePacket, seq) == 8 && offsetof(PosePacket, echo) == 16);
static_assert(offsetof(PosePacket, x) == 24 && offsetof(PosePacket, roll) == 44);

static_assert(sizeof(AirportQuery) == 14);
static_assert(offsetof(AirportQuery, version) == 4 && offsetof(AirportQuery, ident) == 6);

static_assert(sizeof(StatusPacket) == 80);
static_assert(offsetof(StatusPacket, blend) == 8 && offsetof(StatusPacket, viewType) == 12);
static_assert(offsetof(StatusPacket, dataFlags) == 16 && offsetof(StatusPacket, pitchDeg) == 20);
static_assert(offsetof(StatusPacket, headingMagDeg) == 40 && offsetof(StatusPacket, gsKt) == 48);
static_assert(offsetof(StatusPacket, lat) == 52 && offsetof(StatusPacket, lon) == 56);
static_assert(offsetof(StatusPacket, echo) == 60 && offsetof(StatusPacket, seq) == 68);
static_assert(offsetof(StatusPacket, drained) == 72 && offsetof(StatusPacket, trackDeg) == 76);

static_assert(sizeof(FlightStatePacket) == 20);
static_assert(offsetof(FlightStatePacket, aglFt) == 8 && offsetof(FlightStatePacket, simTimeSec) == 16);

static_assert(sizeof(AirportPacketHeader) == 20 && sizeof(AirportEntry) == 16 && sizeof(RunwayEntry) == 28);
static_assert(offsetof(AirportPacketHeader, lat) == 8 && offsetof(AirportPacketHeader, airportCount) == 16);
static_assert(offsetof(AirportPacketHeader, runwayCount) == 18);
static_assert(offsetof(AirportEntry, lat) == 8 && offsetof(AirportEntry, lon) == 12);
static_assert(offsetof(RunwayEntry, widthDm) == 2 && offsetof(RunwayEntry, end1) == 4);
static_assert(offsetof(RunwayEntry, end2) == 8 && offsetof(RunwayEntry, lat1) == 12);
static_assert(offsetof(RunwayEntry, lon2) == 24);
static_assert(kMaxAirportPacket == 1396);

static_assert(sizeof(WeatherPacket) == 186);
static_assert(offsetof(WeatherPacket, windDirDeg) == 8 && offsetof(WeatherPacket, oatC) == 24);
static_assert(offsetof(WeatherPacket, metarStation) == 28 && offsetof(WeatherPacket, metar) == 36);

static_assert(sizeof(IdentityPacket) == 88);
static_assert(offsetof(IdentityPacket, tailNumber) == 8 && offsetof(IdentityPacket, icaoType) == 48);

}  // namespace cvht
