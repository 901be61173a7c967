// Corvane Head Tracker: applies the iPhone's head pose to X-Plane's 3D cockpit view, advertises
// itself through DNS-SD and streams link, flight, airport, weather and identity telemetry back.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "apt/apt_index.h"
#include "cvht_platform.h"
#include "cvht_pose.h"
#include "cvht_wire.h"
#include "cvht_xplm.h"

namespace {

using namespace cvht;

// ---- Log: the plug-in's only output, one line per call into X-Plane's log.

void Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  XPLMDebugString("CVHT: ");
  XPLMDebugString(line);
  XPLMDebugString("\n");
}

// ---- Datarefs looked up at start; null means this X-Plane does not publish it.

XPLMDataRef gRef[6];  // pilot's head x, y, z, psi, the, phi
XPLMDataRef gEyeRef[3];  // aircraft's default eye point
XPLMDataRef gViewTypeRef;

XPLMDataRef gTheta, gPhi, gIas, gAlt, gVs, gMagPsi, gTas, gGs, gLat, gLon;
bool gHaveTelemetry;
XPLMDataRef gTrack;
bool gHaveTrack;
XPLMDataRef gWindDir, gWindSpd, gQnh, gVis, gOat;
bool gHaveWeather;
XPLMDataRef gOnGndRef, gAglRef, gGLoadRef, gSimTimeRef, gPausedRef, gReplayRef, gTailRef, gICAORef;
CVHT_GetMETARForAirport_f gGetMETAR;

const char *const kHeadRefNames[6] = {
    "sim/graphics/view/pilots_head_x",   "sim/graphics/view/pilots_head_y",   "sim/graphics/view/pilots_head_z",
    "sim/graphics/view/pilots_head_psi", "sim/graphics/view/pilots_head_the", "sim/graphics/view/pilots_head_phi",
};

// ---- Pose link: the socket, the phone we answer, the newest in-order pose and the period's counters.

Socket gSocket = kNoSocket;
sockaddr_in gPeer;
bool gHavePeer;
bool gPeerBadProtocol;  // the last datagram with the pose magic was malformed
PosePacket gLatest;
bool gHaveLatest;
float gSecondsSincePacket = 999.0f;  // long silent before the first packet
float gSecondsSinceHeard = 999.0f;   // since the last valid pose packet, tracking or not
double gLinkClock;                    // seconds of frames since start; when each pose was read
float gFrameDt;                       // this frame's interval: a pose read now came during it
uint32_t gLastSeq;
uint32_t gWindowFirstSeq;
bool gWindowSeqValid;
uint32_t gRecvCount;
uint32_t gOutOfOrder;
uint32_t gBadPacket;
uint32_t gDrainedLastFrame;
uint32_t gMaxDrainPerFrame;
uint32_t gFramesWithBacklog;
// A peer can make every datagram a sender restart; X-Plane's log gets one such line per second of
// frames, and the count of those held back once that second is over.
float gRestartLineAge = 999.0f;  // seconds of frames since the last restart line
uint32_t gRestartsHeld;

// ---- Head pose application: the cross-fade weight and the aircraft's eye point.

float gBlend;
float gNeutral[3];
bool gHaveNeutral;
uint32_t gApplyCount;

// ---- The pilot's controls: tracking on or off, a held view, a centre of our own, and the cross-fade
// that makes each change a glide rather than a jump.

bool gTracking = true;
bool gFrozen;
float gCentre[6];  // raw pose values taken as straight ahead: x, y, z, yaw, pitch, roll
bool gHaveCentre;
float gHeldOffsets[6];  // the offsets the view fades out with while tracking is off
float gLastHead[6];     // the six values the last pose step wrote
bool gHaveWritten;
float gCrossFrom[6];  // where the view glides from after a release, a recentre or tracking back on
float gCrossFade;     // weight of gCrossFrom, down from 1 to 0 in the blend's rise time

enum Control { kToggle, kFreeze, kRecenter, kResetCentre, kSmoothing, kControls };
XPLMCommandRef gCommand[kControls];
XPLMMenuID gMenu;
int gMenuParentItem = -1;  // our item in X-Plane's Plugins menu
int gMenuItem[kControls];
int gMenuStatus;
char gMenuStatusText[96];
float gMenuTimer;
uint32_t gMenuPackets;  // valid pose packets since the status line was last made
float gMenuRate;        // valid pose packets per second over the status line's last second
XPLMDataRef gPublished[5];
bool gAnnounced;  // DataRefEditor has been told about our datarefs

// ---- Smooth motion: the phone's sequence numbers are its clock. The times at which its samples were read,
// fitted against their numbers, say when each sample is due; the view then shows a moment a little in the
// past, interpolated between the two samples around it, as a jitter buffer does.

constexpr int kSmoothRing = 64;             // about a second of samples at 60 Hz
constexpr int kSmoothMinSamples = 8;        // with fewer, the newest pose is shown as it is
constexpr float kSmoothSilenceSec = 0.5f;   // a gap this long starts a new history
constexpr float kSmoothMarginStep = 0.001f, kSmoothMarginMax = 0.1f;  // seconds, once for each late sample
constexpr float kSmoothMarginRelax = 0.0005f;                          // seconds per second
constexpr int kSmoothAnchorSamples = 16;     // the first samples, averaged, against which the pace is measured
constexpr double kSmoothAheadMax = 0.5;      // how far past the newest sample the view may carry on
struct SmoothSample {
  uint32_t seq;
  double readAt;
  float v[6];  // x, y, z, yaw, pitch, roll as the phone sent them
};
bool gSmoothing;  // the pilot's choice, kept in the preferences file
SmoothSample gSmooth[kSmoothRing];
int gSmoothCount, gSmoothNewest;
double gSmoothPeriod;  // seconds per sequence number
double gSmoothDueAt;   // when the newest sample is read on average, by the fit
float gSmoothMargin;   // how much later than on average a sample is awaited: grows when one is late
bool gSmoothMissing;   // the last frame wanted a sample that had not come
bool gSmoothFitted;    // the fit includes the newest sample
// The first samples of the history, averaged: sequence numbers from the first, and read time.
uint32_t gSmoothAnchorSeq;
int gSmoothAnchorCount;
double gSmoothAnchorX, gSmoothAnchorAt;
bool gSmoothShown;     // the last pose step showed the interpolated pose

// ---- Sharing the view: the head is ours only in the 3D cockpit and while no other add-on holds the
// camera; HeadShake stands back while we move the head.

enum Aside { kInCockpit, kOutsideCockpit, kCameraHeld };
Aside gAside;
XPLMDataRef gHeadShakeRef;  // found once HeadShake is enabled and publishes its override
bool gHeadShakeOverride;    // what we last wrote to it
float gHeadShakeLookupAge = 999.0f;  // seconds since we last looked for it

// ---- DNS-SD advertisement.

DNSServiceRef gDNSService;
bool gDNSRegistered;

// ---- Telemetry timers and the airport whose METAR we fetch.

float gStatusTimer;
float gAirportTimer;
float gWeatherTimer;
float gIdentityTimer;
char gNearestId[8];

// ---- Link statistics.

float gStatsTimer;

// ---- Airport index, built by the scan thread and published once.

std::atomic<apt::Index *> gApt{nullptr};
std::atomic<bool> gAptDone{false};
std::thread gAptThread;
// The scan thread may not call X-Plane, so it leaves its result line here before it sets gAptDone;
// the main thread writes it to the log.
char gAptResultLine[512];
bool gAptLineLogged;

// ---- Sending to the phone.

bool CanSend() { return gHavePeer && gSocket != kNoSocket; }

void SendToPeer(const void *data, size_t size) {
  SendDatagram(gSocket, data, size, gPeer);
}

// Copies at most max characters of text, stopping at its NUL; the field is already zeroed.
void CopyText(char *field, const char *text, size_t max) {
  for (size_t i = 0; i < max && text[i] != '\0'; ++i) field[i] = text[i];
}

// ---- Airport query: one airport's position, runways and elevation, answered at once.

// The binary search relies on the index's invariant that runway owners ascend across the whole array
// (the reader appends each airport's runways in file order, and dropping airports keeps that order),
// not only that one airport's runways stand together.
std::pair<const apt::Runway *, const apt::Runway *> RunwaysOf(const apt::Index &index, int32_t airport) {
  assert(index.wellFormed());
  auto lo = std::lower_bound(index.runways.begin(), index.runways.end(), airport,
                             [](const apt::Runway &r, int32_t a) { return r.airport < a; });
  auto hi = lo;
  while (hi != index.runways.end() && hi->airport == airport) ++hi;
  return {index.runways.data() + (lo - index.runways.begin()), index.runways.data() + (hi - index.runways.begin())};
}

void WriteRunwayEntry(unsigned char *at, const apt::Runway &r, uint8_t position) {
  RunwayEntry e{};
  e.airport = position;
  // Widths beyond the field's range are held at its ends rather than wrapping; "nan" and "inf" in
  // apt.dat are no width at all.
  float dm = r.widthM * 10.0f;
  if (!std::isfinite(r.widthM)) dm = 0.0f;
  dm = std::clamp(dm, -32768.0f, 32767.0f);
  e.widthDm = static_cast<int16_t>(dm);
  std::memcpy(e.end1, r.end1, sizeof e.end1);
  std::memcpy(e.end2, r.end2, sizeof e.end2);
  e.end1[3] = e.end2[3] = '\0';
  e.lat1 = r.lat1;
  e.lon1 = r.lon1;
  e.lat2 = r.lat2;
  e.lon2 = r.lon2;
  std::memcpy(at, &e, sizeof e);
}

void WriteAirportEntry(unsigned char *at, const apt::Airport &a) {
  AirportEntry e{};
  CopyText(e.ident, a.ident, 7);
  e.lat = a.lat;
  e.lon = a.lon;
  std::memcpy(at, &e, sizeof e);
}

void HandleAirportQuery(const unsigned char *datagram) {
  AirportQuery q;
  std::memcpy(&q, datagram, sizeof q);
  if (q.version != kQueryVersion) return;
  char ident[8] = {};
  std::memcpy(ident, q.ident, 7);
  const apt::Index *index = gApt.load(std::memory_order_acquire);
  if (!index) return;
  int32_t found = -1;
  for (size_t i = 0; i < index->airports.size(); ++i) {
    if (std::strncmp(index->airports[i].ident, ident, 8) == 0) {
      found = static_cast<int32_t>(i);
      break;
    }
  }
  if (found < 0) return;
  const apt::Airport &a = index->airports[found];
  auto [first, last] = RunwaysOf(*index, found);
  int k = static_cast<int>(std::min<ptrdiff_t>(last - first, kMaxRunwayEntries));

  unsigned char buf[kMaxAirportPacket + sizeof(int16_t)] = {};
  AirportPacketHeader h{};
  std::memcpy(h.magic, "CVHA", 4);
  h.version = kAirportVersion;
  h.flags = kAirportIndexAvailable | kAirportScanDone | kAirportQueryReply;
  h.lat = a.lat;
  h.lon = a.lon;
  h.airportCount = 1;
  h.runwayCount = static_cast<uint16_t>(k);
  std::memcpy(buf, &h, sizeof h);
  size_t at = sizeof h;
  WriteAirportEntry(buf + at, a);
  at += sizeof(AirportEntry);
  for (int i = 0; i < k; ++i, at += sizeof(RunwayEntry)) WriteRunwayEntry(buf + at, first[i], 0);
  int16_t elevation = (a.elevationFt >= -2000 && a.elevationFt <= 30000) ? static_cast<int16_t>(a.elevationFt) : kNoElevation;
  std::memcpy(buf + at, &elevation, sizeof elevation);
  at += sizeof elevation;
  SendToPeer(buf, at);
}

// ---- Smooth motion's history and fit.

// A pose packet's six values as the phone sent them: x, y, z, yaw, pitch, roll.
void PoseValues(const PosePacket &p, float out[6]) {
  const float v[6] = {p.x, p.y, p.z, p.yaw, p.pitch, p.roll};
  std::memcpy(out, v, sizeof v);
}

const SmoothSample &SmoothAt(int back) { return gSmooth[(gSmoothNewest - back + kSmoothRing) % kSmoothRing]; }

// Least squares of read time against sequence number over the history, around the newest sample.
void SmoothFit() {
  const SmoothSample &newest = SmoothAt(0);
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int i = 0; i < gSmoothCount; ++i) {
    const double x = static_cast<int32_t>(SmoothAt(i).seq - newest.seq), y = SmoothAt(i).readAt - newest.readAt;
    sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  const double n = gSmoothCount, spread = n * sxx - sx * sx;
  gSmoothPeriod = spread > 0 ? (n * sxy - sx * sy) / spread : 0.0;
  // The phone's pace is steady: once the history reaches far enough from its first samples, their average
  // against the recent one gives it far more exactly than the last second alone. Until then a pace within
  // 5 % of a rate that phones send at is taken to be that rate: frames that read the samples in step with
  // themselves tilt a short fit by a few percent.
  const double recentSeq = static_cast<double>(newest.seq - gSmoothAnchorSeq) + sx / n;
  if (gSmoothAnchorCount == kSmoothAnchorSamples && recentSeq - gSmoothAnchorX >= kSmoothRing) {
    gSmoothPeriod = (newest.readAt + sy / n - gSmoothAnchorAt) / (recentSeq - gSmoothAnchorX);
  } else {
    for (double hz : {24.0, 25.0, 30.0, 50.0, 60.0, 120.0})
      if (std::fabs(gSmoothPeriod * hz - 1.0) < 0.05) gSmoothPeriod = 1.0 / hz;
  }
  gSmoothDueAt = newest.readAt + (sy - gSmoothPeriod * sx) / n;
}

void SmoothAdd(const PosePacket &p) {
  gSmoothNewest = (gSmoothNewest + 1) % kSmoothRing;
  SmoothSample &s = gSmooth[gSmoothNewest];
  // Read at this frame, it came at some moment since the last one: the middle is the best guess.
  s = {p.seq, gLinkClock - 0.5 * gFrameDt, {}};
  PoseValues(p, s.v);
  if (gSmoothCount < kSmoothRing) ++gSmoothCount;
  if (gSmoothCount == 1) {
    gSmoothMargin = 0.0f;
    gSmoothAnchorSeq = p.seq;
    gSmoothAnchorCount = 0;
    gSmoothAnchorX = gSmoothAnchorAt = 0.0;
  }
  if (gSmoothAnchorCount < kSmoothAnchorSamples) {
    const double k = ++gSmoothAnchorCount;
    gSmoothAnchorX += (static_cast<double>(p.seq - gSmoothAnchorSeq) - gSmoothAnchorX) / k;
    gSmoothAnchorAt += (s.readAt - gSmoothAnchorAt) / k;
  }
  gSmoothFitted = false;  // fitted when shown, at most once a frame, and never with smoothing off
}

// The pose of the moment one sample interval and a margin before now, on the fit's clock, between the two
// samples around it; false while the history is too short or its clock implausible.
bool SmoothPose(float dt, float out[6]) {
  if (gSmoothCount < kSmoothMinSamples) return false;
  if (!gSmoothFitted) SmoothFit();
  gSmoothFitted = true;
  if (!(gSmoothPeriod > 1.0 / 240 && gSmoothPeriod < 0.25)) return false;
  auto offset = [](int back) {
    return static_cast<double>(static_cast<int32_t>(SmoothAt(back).seq - SmoothAt(0).seq));
  };
  // In sequence numbers from the newest sample.
  const double want = (gLinkClock - gSmoothPeriod - gSmoothMargin - gSmoothDueAt) / gSmoothPeriod;
  // The next sample is late: the newest carries on along its slope, a little way only, and from now on
  // samples are awaited a millisecond later; a margin never missed shrinks slowly, down to half a sample
  // before the average read.
  const bool missed = want > 0;
  if (missed && !gSmoothMissing) gSmoothMargin = std::min(gSmoothMargin + kSmoothMarginStep, kSmoothMarginMax);
  if (!missed) gSmoothMargin = std::max(gSmoothMargin - kSmoothMarginRelax * dt, -0.5f * float(gSmoothPeriod));
  gSmoothMissing = missed;
  if (missed) {
    const bool slope = gSmoothCount >= 3 && offset(2) == -2;
    const float ahead = static_cast<float>(std::min(want, kSmoothAheadMax));
    for (int i = 0; i < 6; ++i)
      out[i] = SmoothAt(0).v[i] +
               (slope ? ahead * 0.5f * (3 * SmoothAt(0).v[i] - 4 * SmoothAt(1).v[i] + SmoothAt(2).v[i]) : 0.0f);
    return true;
  }
  // The newest sample no later than the moment wanted, and the one after it; either end holds.
  int e = 0;
  while (e + 1 < gSmoothCount && offset(e) > want) ++e;
  if (e == 0 || offset(e) > want) {
    std::memcpy(out, SmoothAt(e).v, sizeof SmoothAt(e).v);
    return true;
  }
  const float u = static_cast<float>((want - offset(e)) / (offset(e - 1) - offset(e)));
  for (int i = 0; i < 6; ++i) out[i] = SmoothAt(e).v[i] + u * (SmoothAt(e - 1).v[i] - SmoothAt(e).v[i]);
  return true;
}

// ---- Receive step: drain the socket, keep the newest in-order pose, count the rest.

void LogHeldRestarts() {
  if (gRestartsHeld == 0 || gRestartLineAge < 1.0f) return;
  Log("sender restart detected %u more times in the last second — lines suppressed", gRestartsHeld);
  gRestartsHeld = 0;
}

void LogRestart(uint32_t from, uint32_t to) {
  LogHeldRestarts();
  if (gRestartLineAge < 1.0f) {
    ++gRestartsHeld;
    return;
  }
  Log("sender restart detected (seq %u -> %u), resyncing", from, to);
  gRestartLineAge = 0.0f;
}

void HandlePose(const unsigned char *datagram, ssize_t n, uint32_t &valid) {
  PosePacket p;
  if (n != static_cast<ssize_t>(sizeof p)) {
    gPeerBadProtocol = true;
    ++gBadPacket;
    return;
  }
  std::memcpy(&p, datagram, sizeof p);
  if (p.version != kPoseVersion) {
    gPeerBadProtocol = true;
    ++gBadPacket;
    return;
  }
  gPeerBadProtocol = false;
  const bool longSilence = gSecondsSinceHeard > kSmoothSilenceSec;
  gSecondsSinceHeard = 0.0f;
  ++valid;
  ++gRecvCount;
  if (gHaveLatest && p.seq <= gLastSeq) {
    if (gLastSeq - p.seq <= 1000 && gSecondsSincePacket <= 1.0f) {
      ++gOutOfOrder;
      return;
    }
    LogRestart(gLastSeq, p.seq);
    gSmoothCount = 0;
    gWindowFirstSeq = p.seq;
    gWindowSeqValid = true;
  } else if (!gWindowSeqValid) {
    gWindowFirstSeq = p.seq;
    gWindowSeqValid = true;
  }
  gLastSeq = p.seq;
  gLatest = p;
  gHaveLatest = true;
  if (longSilence) gSmoothCount = 0;
  SmoothAdd(p);
  if (p.flags & kPoseTracking) gSecondsSincePacket = 0.0f;
}

void ReceiveStep() {
  uint32_t valid = 0;
  for (;;) {
    unsigned char datagram[sizeof(PosePacket)];
    sockaddr_in from;
    ssize_t n = ReceiveDatagram(gSocket, datagram, sizeof datagram, from);
    if (n < 0) break;  // non-blocking: nothing more is waiting
    if (n == static_cast<ssize_t>(sizeof(AirportQuery)) && std::memcmp(datagram, "CVHQ", 4) == 0) {
      gPeer = from;
      gHavePeer = true;
      HandleAirportQuery(datagram);
    } else if (n >= 4 && std::memcmp(datagram, "CVHT", 4) == 0) {
      // The sender becomes the peer before the packet is judged, so a phone on another protocol
      // version still gets the status packet that tells it so.
      if (gHavePeer && (from.sin_addr.s_addr != gPeer.sin_addr.s_addr || from.sin_port != gPeer.sin_port))
        gSmoothCount = 0;  // another phone: its samples are not on this one's clock
      gPeer = from;
      gHavePeer = true;
      HandlePose(datagram, n, valid);
    } else {
      ++gBadPacket;
    }
  }
  gDrainedLastFrame = valid;
  if (valid > gMaxDrainPerFrame) gMaxDrainPerFrame = valid;
  if (valid >= 2) ++gFramesWithBacklog;
  LogHeldRestarts();
}

// ---- DNS-SD: register once at start, then poll the connection without waiting.

void DNSSD_API DNSCallback(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType errorCode, const char *name,
                           const char *, const char *, void *) noexcept {
  if (errorCode != kDNSServiceErr_NoError) {
    Log("bonjour registration error %d", errorCode);
    return;
  }
  Log("advertising as \"%s\" on %s", name ? name : "?", kServiceType);
}

void RegisterDNS() {
  DNSServiceRef ref = nullptr;
  DNSServiceErrorType err = DNSServiceRegister(&ref, 0, 0, nullptr, kServiceType, nullptr, nullptr,
                                               htons(static_cast<uint16_t>(kPort)), 0, nullptr, DNSCallback, nullptr);
  if (err != kDNSServiceErr_NoError) {
    Log("DNSServiceRegister failed: %d (discovery unavailable)", err);
    return;
  }
  gDNSService = ref;
  gDNSRegistered = true;
}

void DNSStep() {
  if (!gDNSRegistered || !gDNSService) return;
  Socket fd = DNSServiceRefSockFD(gDNSService);
  if (!FitsSelectSet(fd)) return;  // treated as not ready
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval zero{0, 0};
  if (select(static_cast<int>(fd) + 1, &readable, nullptr, nullptr, &zero) > 0) DNSServiceProcessResult(gDNSService);
}

void WithdrawDNS() {
  if (gDNSService) {
    DNSServiceRefDeallocate(gDNSService);
    gDNSService = nullptr;
  }
  gDNSRegistered = false;
}

// ---- Telemetry: five packets to the peer, each step with its own timer.

void StatusStep(float dt) {
  gStatusTimer += dt;
  if (gStatusTimer >= 0.0f) gStatusTimer = 0.0f;  // due in every frame
  if (!CanSend()) return;
  StatusPacket p{};
  std::memcpy(p.magic, "CVHS", 4);
  p.version = kStatusVersion;
  p.flags = kStatusAlways;
  if (gSecondsSincePacket < 1.0f) p.flags |= kStatusFresh;
  if (gPeerBadProtocol) p.flags |= kStatusMismatch;
  p.blend = gBlend;
  p.viewType = gViewTypeRef ? XPLMGetDatai(gViewTypeRef) : 0;
  if (gHaveTelemetry) {
    p.dataFlags |= kDataFlight;
    p.pitchDeg = XPLMGetDataf(gTheta);
    p.rollDeg = XPLMGetDataf(gPhi);
    p.iasKt = XPLMGetDataf(gIas);
    p.altFt = XPLMGetDataf(gAlt);
    p.vsFpm = XPLMGetDataf(gVs);
    p.headingMagDeg = XPLMGetDataf(gMagPsi);
    p.tasKt = XPLMGetDataf(gTas) * 1.94384f;
    p.gsKt = XPLMGetDataf(gGs) * 1.94384f;
    p.lat = static_cast<float>(XPLMGetDatad(gLat));
    p.lon = static_cast<float>(XPLMGetDatad(gLon));
  }
  if (gHaveTrack) {
    p.dataFlags |= kDataTrack;
    p.trackDeg = XPLMGetDataf(gTrack);
  }
  if (gHaveLatest) {
    std::memcpy(p.echo, gLatest.echo, sizeof p.echo);
    p.seq = gLatest.seq;
  }
  p.drained = gDrainedLastFrame;
  SendToPeer(&p, sizeof p);
}

void FlightStateStep() {
  if (!CanSend()) return;
  FlightStatePacket p{};
  std::memcpy(p.magic, "CVHF", 4);
  p.version = kFlightStateVersion;
  if (gOnGndRef) {
    p.flags |= kFsOnGroundKnown;
    if (XPLMGetDatai(gOnGndRef) != 0) p.flags |= kFsOnGround;
  }
  if (gAglRef) {
    p.flags |= kFsAgl;
    p.aglFt = XPLMGetDataf(gAglRef) * 3.28084f;
  }
  if (gGLoadRef) {
    p.flags |= kFsLoad;
    p.loadFactor = XPLMGetDataf(gGLoadRef);
  }
  if (gSimTimeRef) {
    p.flags |= kFsSimTime;
    p.simTimeSec = XPLMGetDataf(gSimTimeRef);
  }
  if (gPausedRef && gReplayRef) {
    p.flags |= kFsPauseKnown;
    if (XPLMGetDatai(gPausedRef) != 0) p.flags |= kFsPaused;
    if (XPLMGetDatai(gReplayRef) != 0) p.flags |= kFsReplay;
  }
  SendToPeer(&p, sizeof p);
}

// True once per period; the period is subtracted, so a long frame leaves the remainder for later.
bool Due(float &timer, float dt, float period) {
  timer += dt;
  if (timer < period) return false;
  timer -= period;
  return true;
}

void SendAirports() {
  // Done first: the scan stores the index before the flag, so a scan that ends between the two loads
  // shows as still running, never as failed.
  const bool done = gAptDone.load(std::memory_order_acquire);
  const apt::Index *index = gApt.load(std::memory_order_acquire);
  double lat = XPLMGetDatad(gLat);
  double lon = XPLMGetDatad(gLon);
  AirportPacketHeader h{};
  std::memcpy(h.magic, "CVHA", 4);
  h.version = kAirportVersion;
  h.flags = done ? kAirportScanDone : 0;
  h.lat = static_cast<float>(lat);
  h.lon = static_cast<float>(lon);
  unsigned char buf[kMaxAirportPacket] = {};
  size_t at = sizeof h;
  if (index) {
    h.flags |= kAirportIndexAvailable;
    std::vector<apt::Nearby> nearby = index->nearest(lat, lon, kMaxAirportEntries, 150.0);
    size_t m = std::min<size_t>(nearby.size(), kMaxAirportEntries);
    for (size_t i = 0; i < m; ++i, at += sizeof(AirportEntry)) WriteAirportEntry(buf + at, index->airports[nearby[i].airport]);
    std::memset(gNearestId, 0, sizeof gNearestId);
    if (m > 0) CopyText(gNearestId, index->airports[nearby[0].airport].ident, 7);
    size_t n = 0;
    for (size_t i = 0; i < std::min<size_t>(m, kRunwayAirports) && n < kMaxRunwayEntries; ++i) {
      auto [first, last] = RunwaysOf(*index, nearby[i].airport);
      for (const apt::Runway *r = first; r != last && n < kMaxRunwayEntries; ++r, ++n, at += sizeof(RunwayEntry))
        WriteRunwayEntry(buf + at, *r, static_cast<uint8_t>(i));
    }
    h.airportCount = static_cast<uint16_t>(m);
    h.runwayCount = static_cast<uint16_t>(n);
  }
  std::memcpy(buf, &h, sizeof h);
  SendToPeer(buf, at);
}

void AirportStep(float dt) {
  if (!Due(gAirportTimer, dt, 1.0f)) return;
  if (!CanSend() || !gHaveTelemetry) return;
  try {
    SendAirports();
  } catch (const std::exception &) {
    // Out of memory for the temporary list: this second's packet is skipped.
  }
}

void WeatherStep(float dt) {
  if (!Due(gWeatherTimer, dt, 2.0f)) return;
  if (!CanSend()) return;
  WeatherPacket p{};
  std::memcpy(p.magic, "CVHW", 4);
  p.version = kWeatherVersion;
  if (gHaveWeather) {
    p.flags = kWeatherValid;
    p.windDirDeg = XPLMGetDataf(gWindDir);
    p.windKt = XPLMGetDataf(gWindSpd) * 1.94384f;
    p.qnhHpa = XPLMGetDataf(gQnh) / 100.0f;
    p.visSm = XPLMGetDataf(gVis);
    p.oatC = XPLMGetDataf(gOat);
  }
  if (gGetMETAR && gNearestId[0] != '\0') {
    XPLMFixedString150_t metar{};
    gGetMETAR(gNearestId, &metar);
    metar.buffer[sizeof metar.buffer - 1] = '\0';
    if (metar.buffer[0] != '\0') {
      p.flags |= kWeatherMetar;
      CopyText(p.metarStation, gNearestId, 7);
      CopyText(p.metar, metar.buffer, sizeof p.metar - 1);
    }
  }
  SendToPeer(&p, sizeof p);
}

// Reads an X-Plane byte dataref into a text field of the packet: at most 39 characters, up to its NUL.
void ReadTextRef(XPLMDataRef ref, char *field) {
  char bytes[41] = {};
  int count = XPLMGetDatab(ref, bytes, 0, 40);
  count = std::clamp(count, 0, 39);
  CopyText(field, bytes, static_cast<size_t>(count));
}

void IdentityStep(float dt) {
  if (!Due(gIdentityTimer, dt, 5.0f)) return;
  if (!CanSend()) return;
  IdentityPacket p{};
  std::memcpy(p.magic, "CVHI", 4);
  p.version = kIdentityVersion;
  if (gTailRef) {
    p.flags |= kIdentityTail;
    ReadTextRef(gTailRef, p.tailNumber);
  }
  if (gICAORef) {
    p.flags |= kIdentityIcao;
    ReadTextRef(gICAORef, p.icaoType);
  }
  SendToPeer(&p, sizeof p);
}

// ---- Pose step: blend the newest pose into the six head datarefs.

void CaptureNeutral() {
  for (int i = 0; i < 3; ++i) gNeutral[i] = gEyeRef[i] ? XPLMGetDataf(gEyeRef[i]) : 0.0f;
  gHaveNeutral = true;
  Log("eye reference captured: x=%.3f y=%.3f z=%.3f", gNeutral[0], gNeutral[1], gNeutral[2]);
}

constexpr int kViewCockpit3D = 1026;

Aside AsideNow() {
  if (gViewTypeRef && XPLMGetDatai(gViewTypeRef) != kViewCockpit3D) return kOutsideCockpit;
  return XPLMIsCameraBeingControlled(nullptr) ? kCameraHeld : kInCockpit;
}

// HeadShake publishes its override in its own enable, which may come after ours: we look for it while
// we need it, once a second at most.
void SetHeadShakeOverride(bool on) {
  if (on == gHeadShakeOverride) return;
  if (!gHeadShakeRef) {
    if (gHeadShakeLookupAge < 1.0f) return;
    gHeadShakeLookupAge = 0.0f;
    const XPLMPluginID headShake = XPLMFindPluginBySignature("com.simcoders.headshake");
    if (headShake == XPLM_NO_PLUGIN_ID || !XPLMIsPluginEnabled(headShake)) return;
    gHeadShakeRef = XPLMFindDataRef("simcoders/headshake/override");
    if (!gHeadShakeRef) return;
  }
  XPLMSetDatai(gHeadShakeRef, on ? 1 : 0);
  gHeadShakeOverride = on;
  Log(on ? "headshake override set — head tracking moves the head"
         : "headshake override cleared — headshake moves the head again");
}

// The aircraft's eye point with level angles.
void NeutralHead(float out[6]) {
  const float v[6] = {gNeutral[0], gNeutral[1], gNeutral[2], 0.0f, 0.0f, 0.0f};
  std::memcpy(out, v, sizeof v);
}

void WriteHead(const float head[6]) {
  for (int i = 0; i < 6; ++i) XPLMSetDataf(gRef[i], head[i]);
  std::memcpy(gLastHead, head, sizeof gLastHead);
  gHaveWritten = true;
}

// The view glides from what it shows now to wherever the pose step takes it next.
void GlideFromLastHead() {
  if (!gHaveWritten) return;
  std::memcpy(gCrossFrom, gLastHead, sizeof gCrossFrom);
  gCrossFade = 1.0f;
}

// The pose to show, as the phone sent it: the newest, or with smooth motion on the interpolated one.
void PoseToShow(float dt, float raw[6]) {
  const bool smooth = gSmoothing && SmoothPose(dt, raw);
  if (smooth != gSmoothShown) GlideFromLastHead();  // into or out of smooth motion: no jump
  gSmoothShown = smooth;
  if (!smooth) PoseValues(gLatest, raw);
}

// The pose mirrored, scaled and limited, measured from the pilot's centre when one is set.
void PoseOffsets(float dt, float out[6]) {
  float raw[6];
  PoseToShow(dt, raw);
  float v[6];
  for (int i = 0; i < 6; ++i) v[i] = gHaveCentre ? raw[i] - gCentre[i] : raw[i];
  out[0] = AxisOffset(v[0], kSignX, kGainTrans, kLimitTransM);
  out[1] = AxisOffset(v[1], kSignY, kGainY, kLimitTransM);
  out[2] = AxisOffset(v[2], kSignZ, kGainTrans, kLimitTransM);
  out[3] = AxisOffset(v[3], kSignYaw, kGainYaw, kLimitDeg);
  out[4] = AxisOffset(v[4], kSignPitch, kGainPitch, kLimitDeg);
  out[5] = AxisOffset(v[5], kSignRoll, kGainRoll, kLimitDeg);
}

// Outside the 3D cockpit, or while another add-on holds the camera, the head is left alone: put back
// to neutral once on the way out, and eased in from a blend of 0 on the way back.
bool StepAside() {
  const Aside aside = AsideNow();
  if (aside != kInCockpit && gAside == kInCockpit && gHaveWritten && gHaveNeutral) {
    float neutral[6];
    NeutralHead(neutral);
    WriteHead(neutral);
    gBlend = 0.0f;
    gCrossFade = 0.0f;
  }
  gAside = aside;
  if (aside != kInCockpit) SetHeadShakeOverride(false);
  return aside != kInCockpit;
}

void PoseStep(float dt) {
  gHeadShakeLookupAge += dt;
  if (StepAside()) return;
  gBlend = StepBlend(gBlend, gTracking ? TargetWeight(gSecondsSincePacket) : 0.0f, dt);
  float offset[6];
  if (gTracking) PoseOffsets(dt, offset);
  else std::memcpy(offset, gHeldOffsets, sizeof offset);
  if (!gHaveNeutral) CaptureNeutral();
  float head[6] = {gNeutral[0] + gBlend * offset[0], gNeutral[1] + gBlend * offset[1], gNeutral[2] + gBlend * offset[2],
                   gBlend * offset[3], gBlend * offset[4], gBlend * offset[5]};
  if (gFrozen) {
    if (gHaveWritten) std::memcpy(head, gLastHead, sizeof head);
    else NeutralHead(head);
  } else if (gCrossFade > 0.0f) {
    gCrossFade = std::max(0.0f, gCrossFade - dt / kBlendRiseSec);
    for (int i = 0; i < 6; ++i) head[i] += gCrossFade * (gCrossFrom[i] - head[i]);
  }
  WriteHead(head);
  SetHeadShakeOverride(gTracking && gBlend > 0.0f);
  ++gApplyCount;
}

void RestoreNeutral() {
  if (!gHaveLatest || !gHaveNeutral) return;
  for (int i = 0; i < 3; ++i) XPLMSetDataf(gRef[i], gNeutral[i]);
  for (int i = 3; i < 6; ++i) XPLMSetDataf(gRef[i], 0.0f);
}

// ---- The pilot's controls: four commands, our menu under Plugins and the datarefs we publish.

const struct {
  const char *name, *description, *menuItem;
} kCommands[kControls] = {
    {"corvane/head_tracker/toggle", "Corvane Head Tracker: turn head tracking on or off", "Head tracking"},
    {"corvane/head_tracker/freeze", "Corvane Head Tracker: hold the view still, or let it follow again", "Freeze view"},
    {"corvane/head_tracker/recenter", "Corvane Head Tracker: make the current head position the centre", "Recenter"},
    {"corvane/head_tracker/reset_center", "Corvane Head Tracker: forget the centre set in X-Plane", "Reset centre"},
    {"corvane/head_tracker/smoothing", "Corvane Head Tracker: smooth motion on or off", "Smooth motion"},
};
const char *const kPublishedNames[5] = {"corvane/head_tracker/enabled", "corvane/head_tracker/frozen",
                                        "corvane/head_tracker/link_state", "corvane/head_tracker/pose",
                                        "corvane/head_tracker/smoothing"};
constexpr int kDataRefEditorAddDataRef = 0x01000000;

// 0 never heard, 1 streaming, 2 silent for more than a second, 3 the phone speaks another protocol version.
int LinkState() {
  if (gPeerBadProtocol) return 3;
  if (!gHaveLatest) return 0;
  return gSecondsSinceHeard > 1.0f ? 2 : 1;
}

void StatusLine(char *out, size_t size) {
  if (gAside != kInCockpit) {
    std::snprintf(out, size, gAside == kCameraHeld ? "Paused: another add-on holds the camera"
                                                   : "Paused: outside the 3D cockpit");
    return;
  }
  switch (LinkState()) {
    case 0:
      std::snprintf(out, size, "Phone: not heard yet");
      break;
    case 1: {
      const auto *a = reinterpret_cast<const unsigned char *>(&gPeer.sin_addr);
      std::snprintf(out, size, "Phone: %u.%u.%u.%u — %.0f packets/s", a[0], a[1], a[2], a[3], double(gMenuRate));
      break;
    }
    case 2:
      std::snprintf(out, size, "Phone: silent for %.0f s", std::floor(double(gSecondsSinceHeard)));
      break;
    default:
      std::snprintf(out, size, "Phone: wrong protocol version — update the app");
  }
}

void CheckMenu(Control item, bool on) {
  if (gMenu) XPLMCheckMenuItem(gMenu, gMenuItem[item], on ? xplm_Menu_Checked : xplm_Menu_Unchecked);
}

void SetTracking(bool on, const char *how) {
  if (on == gTracking) return;
  gTracking = on;
  const bool released = !on && gFrozen;
  if (!on) {
    PoseOffsets(0.0f, gHeldOffsets);  // the view fades out from where it is and no longer follows the phone
    gFrozen = false;
    if (released) GlideFromLastHead();
  } else if (gBlend > 0.0f) {
    GlideFromLastHead();  // back on mid-fade: no jump from the held offsets to the live ones
  }
  CheckMenu(kToggle, on);
  CheckMenu(kFreeze, gFrozen);
  Log("tracking %s (%s)%s", on ? "on" : "off", how, released ? " — view released" : "");
}

void SetFrozen(bool on, const char *how) {
  if (on == gFrozen) return;
  gFrozen = on;
  if (!on) GlideFromLastHead();
  CheckMenu(kFreeze, on);
  Log("view %s (%s)", on ? "frozen" : "released", how);
}

void Recenter() {
  if (!gHaveLatest) {
    Log("recenter ignored — no pose from the phone yet");
    return;
  }
  PoseValues(gLatest, gCentre);
  gHaveCentre = true;
  GlideFromLastHead();
  Log("centre set: yaw=%.1f pitch=%.1f roll=%.1f x=%.3f y=%.3f z=%.3f", double(gCentre[3]), double(gCentre[4]),
      double(gCentre[5]), double(gCentre[0]), double(gCentre[1]), double(gCentre[2]));
}

void ResetCentre() {
  if (gHaveCentre) GlideFromLastHead();
  gHaveCentre = false;
  std::memset(gCentre, 0, sizeof gCentre);
  Log("centre reset");
}

// ---- The pilot's saved choice: "Corvane Head Tracker.prf" beside X-Plane's own preferences, key=value
// lines. Lines of keys we do not know are kept as they are when we write the file again.

constexpr size_t kPrefsMax = 4096;
char gPrefsPath[512];       // empty when X-Plane names no preferences folder
char gPrefsKept[kPrefsMax + 2];  // the file's lines that are not ours

void FindPrefsPath() {
  char prefs[512] = {};
  XPLMGetPrefsPath(prefs);
  prefs[sizeof prefs - 1] = '\0';
  const char *sep = XPLMGetDirectorySeparator();
  char *cut = std::strrchr(prefs, sep && sep[0] ? sep[0] : '/');
  gPrefsPath[0] = '\0';
  if (!cut) return;
  cut[1] = '\0';
  const int n = std::snprintf(gPrefsPath, sizeof gPrefsPath, "%sCorvane Head Tracker.prf", prefs);
  if (n < 0 || static_cast<size_t>(n) >= sizeof gPrefsPath) gPrefsPath[0] = '\0';
}

// What the file says, or why it says nothing we can use; a file that is not there is no news.
const char *ParsePrefs(char *text, bool &smoothing) {
  gPrefsKept[0] = '\0';
  const char *unknown = nullptr;
  for (char *line = text, *next; line && *line; line = next) {
    next = std::strchr(line, '\n');
    if (next) *next++ = '\0';
    const size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\r') line[length - 1] = '\0';
    if (line[0] == '\0') continue;
    char *eq = std::strchr(line, '=');
    if (!eq || eq == line) return "not understood";
    *eq = '\0';
    if (std::strcmp(line, "smoothing") == 0) {
      if (std::strcmp(eq + 1, "0") != 0 && std::strcmp(eq + 1, "1") != 0) return "not understood";
      smoothing = eq[1] == '1';
      continue;
    }
    *eq = '=';
    if (!unknown) unknown = line;
    std::strcat(gPrefsKept, line);
    std::strcat(gPrefsKept, "\n");
  }
  if (unknown) Log("preferences: unknown key in \"%.*s\" kept", static_cast<int>(std::strcspn(unknown, "=")), unknown);
  return nullptr;
}

void LoadPrefs() {
  gPrefsKept[0] = '\0';
  FindPrefsPath();
  if (!gPrefsPath[0]) return;
  FILE *f = std::fopen(gPrefsPath, "rb");
  if (!f && errno == ENOENT) return;
  char text[kPrefsMax + 2];
  const size_t n = f ? std::fread(text, 1, sizeof text - 1, f) : 0;
  const char *wrong = !f || std::ferror(f) ? "unreadable" : n > kPrefsMax ? "too long" : n == 0 ? "empty" : nullptr;
  if (f) std::fclose(f);
  text[n] = '\0';
  if (!wrong && std::strlen(text) != n) wrong = "not understood";
  bool smoothing = false;
  if (!wrong) wrong = ParsePrefs(text, smoothing);
  if (wrong) {
    gPrefsKept[0] = '\0';
    Log("preferences %s: %s — defaults used", wrong, gPrefsPath);
    return;
  }
  gSmoothing = smoothing;
  if (smoothing) Log("smooth motion on (preferences)");
}

// A temporary file first, then one rename: a crash leaves the old file or the new one, never half of one.
void SavePrefs() {
  if (!gPrefsPath[0]) return;
  char temporary[sizeof gPrefsPath + 8];
  std::snprintf(temporary, sizeof temporary, "%s.tmp", gPrefsPath);
  FILE *f = std::fopen(temporary, "wb");
  bool saved = f && std::fprintf(f, "smoothing=%d\n%s", gSmoothing ? 1 : 0, gPrefsKept) > 0;
  if (f && std::fclose(f) != 0) saved = false;
  if (saved) saved = MoveOver(temporary, gPrefsPath);
  if (saved) return;
  const int error = errno;
  if (f) std::remove(temporary);
  Log("preferences not saved: %s — %s", gPrefsPath, std::strerror(error));
}

void SetSmoothing(bool on, const char *how) {
  if (on == gSmoothing) return;
  gSmoothing = on;
  CheckMenu(kSmoothing, on);
  Log("smooth motion %s (%s)", on ? "on" : "off", how);
  SavePrefs();
}

// X-Plane repeats a held key's command every frame: one press acts once, on its Begin. Other
// add-ons still see the command.
int CommandHandler(XPLMCommandRef, XPLMCommandPhase phase, void *refcon) {
  if (phase != xplm_CommandBegin) return 1;
  switch (static_cast<Control>(reinterpret_cast<intptr_t>(refcon))) {
    case kToggle: SetTracking(!gTracking, "command"); break;
    case kFreeze: SetFrozen(!gFrozen, "command"); break;
    case kRecenter: Recenter(); break;
    case kSmoothing: SetSmoothing(!gSmoothing, "command"); break;
    default: ResetCentre();
  }
  return 1;
}

int ReadEnabled(void *) { return gTracking ? 1 : 0; }
void WriteEnabled(void *, int value) { SetTracking(value != 0, "dataref"); }
int ReadFrozen(void *) { return gFrozen ? 1 : 0; }
void WriteFrozen(void *, int value) { SetFrozen(value != 0, "dataref"); }
int ReadLinkState(void *) { return LinkState(); }
int ReadSmoothing(void *) { return gSmoothing ? 1 : 0; }
void WriteSmoothing(void *, int value) { SetSmoothing(value != 0, "dataref"); }

// The head as last written: x, y, z from the eye point in metres, then psi, the, phi in degrees.
int ReadPose(void *, float *out, int offset, int max) {
  if (!out) return 6;
  if (offset < 0 || offset >= 6 || max <= 0) return 0;
  const int n = std::min(max, 6 - offset);
  for (int i = 0; i < n; ++i) {
    const int k = offset + i;
    out[i] = !gHaveWritten ? 0.0f : k < 3 ? gLastHead[k] - gNeutral[k] : gLastHead[k];
  }
  return n;
}

// An int dataref of ours; writable when it has a writer.
XPLMDataRef PublishInt(const char *name, XPLMGetDatai_f read, XPLMSetDatai_f write) {
  return XPLMRegisterDataAccessor(name, xplmType_Int, write != nullptr, read, write, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void MenuHandler(void *, void *) {}  // every item runs a command; the status line is disabled

void StartControls() {
  LoadPrefs();
  for (int i = 0; i < kControls; ++i) {
    gCommand[i] = XPLMCreateCommand(kCommands[i].name, kCommands[i].description);
    XPLMRegisterCommandHandler(gCommand[i], CommandHandler, 1, reinterpret_cast<void *>(intptr_t{i}));
  }
  gPublished[0] = PublishInt(kPublishedNames[0], ReadEnabled, WriteEnabled);
  gPublished[1] = PublishInt(kPublishedNames[1], ReadFrozen, WriteFrozen);
  gPublished[2] = PublishInt(kPublishedNames[2], ReadLinkState, nullptr);
  gPublished[4] = PublishInt(kPublishedNames[4], ReadSmoothing, WriteSmoothing);
  gPublished[3] = XPLMRegisterDataAccessor(kPublishedNames[3], xplmType_FloatArray, 0, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, ReadPose, nullptr, nullptr,
                                           nullptr, nullptr, nullptr);
  XPLMMenuID plugins = XPLMFindPluginsMenu();
  gMenuParentItem = XPLMAppendMenuItem(plugins, "Corvane Head Tracker", nullptr, 0);
  gMenu = XPLMCreateMenu("Corvane Head Tracker", plugins, gMenuParentItem, MenuHandler, nullptr);
  if (!gMenu) return;
  for (int i = 0; i < kControls; ++i)
    gMenuItem[i] = XPLMAppendMenuItemWithCommand(gMenu, kCommands[i].menuItem, gCommand[i]);
  XPLMAppendMenuSeparator(gMenu);
  StatusLine(gMenuStatusText, sizeof gMenuStatusText);
  gMenuStatus = XPLMAppendMenuItem(gMenu, gMenuStatusText, nullptr, 0);
  XPLMEnableMenuItem(gMenu, gMenuStatus, 0);
  CheckMenu(kToggle, gTracking);
  CheckMenu(kFreeze, gFrozen);
  CheckMenu(kSmoothing, gSmoothing);
}

// Nothing of ours may stay registered: X-Plane would call into an unloaded plug-in.
void StopControls() {
  for (int i = 0; i < kControls; ++i)
    if (gCommand[i])
      XPLMUnregisterCommandHandler(gCommand[i], CommandHandler, 1, reinterpret_cast<void *>(intptr_t{i}));
  for (XPLMDataRef &ref : gPublished) {
    if (ref) XPLMUnregisterDataAccessor(ref);
    ref = nullptr;
  }
  if (gMenu) XPLMDestroyMenu(gMenu);
  if (gMenuParentItem >= 0) XPLMRemoveMenuItem(XPLMFindPluginsMenu(), gMenuParentItem);
  gMenu = nullptr;
  gMenuParentItem = -1;
  gTracking = true;
  gFrozen = gHaveCentre = gHaveWritten = gAnnounced = gSmoothing = gSmoothShown = false;
  gSmoothCount = 0;
  gCrossFade = gMenuTimer = 0.0f;
  gMenuPackets = 0;
  SetHeadShakeOverride(false);
  gHeadShakeRef = nullptr;
  gAside = kInCockpit;
}

// DataRefEditor lists our datarefs once told; it is started before our first frame.
void AnnounceDatarefs() {
  gAnnounced = true;
  const XPLMPluginID editor = XPLMFindPluginBySignature("xplanesdk.examples.DataRefEditor");
  if (editor == XPLM_NO_PLUGIN_ID) return;
  for (const char *name : kPublishedNames)
    XPLMSendMessageToPlugin(editor, kDataRefEditorAddDataRef, const_cast<char *>(name));
}

// The status line is renamed at most once a second, and only when its text changes.
void MenuStep(float dt) {
  if (!gAnnounced) AnnounceDatarefs();
  gMenuPackets += gDrainedLastFrame;
  gMenuTimer += dt;
  if (gMenuTimer < 1.0f) return;
  gMenuRate = static_cast<float>(gMenuPackets) / gMenuTimer;
  gMenuPackets = 0;
  gMenuTimer = 0.0f;
  char text[sizeof gMenuStatusText];
  StatusLine(text, sizeof text);
  if (!gMenu || std::strcmp(text, gMenuStatusText) == 0) return;
  std::memcpy(gMenuStatusText, text, sizeof text);
  XPLMSetMenuItemName(gMenu, gMenuStatus, text, 0);
}

// ---- Statistics step: the link report every five seconds of tracking.

void StatsStep(float dt) {
  gStatsTimer += dt;
  if (gStatsTimer < 5.0f) return;
  const float period = gStatsTimer;
  const uint32_t sent = gWindowSeqValid ? gLastSeq - gWindowFirstSeq + 1u : 0u;
  const int32_t lost = static_cast<int32_t>(sent - gRecvCount);
  const double lossPct = sent == 0 ? 0.0 : static_cast<double>(lost) * 100.0 / static_cast<double>(sent);
  const float recvRate = static_cast<float>(gRecvCount) / period;
  const float applyRate = static_cast<float>(gApplyCount) / period;
  Log("recv=%u (%.1f/s) apply=%u (%.1f/s) sent=%u lost=%d (%.1f%%) ooo=%u bad=%u maxDrain=%u backlog=%u blend=%.2f "
      "stale=%.2fs",
      gRecvCount, recvRate, gApplyCount, applyRate, sent, lost, lossPct, gOutOfOrder, gBadPacket, gMaxDrainPerFrame,
      gFramesWithBacklog, gBlend, gSecondsSincePacket);
  Log("link peer=%s proto=%s view=%d bonjour=%s", gHavePeer ? "yes" : "none", gPeerBadProtocol ? "MISMATCH" : "ok",
      gViewTypeRef ? XPLMGetDatai(gViewTypeRef) : -1, gDNSRegistered ? "registered" : "off");
  gWindowSeqValid = false;
  gApplyCount = gRecvCount = gBadPacket = gOutOfOrder = gFramesWithBacklog = gMaxDrainPerFrame = 0;
  gStatsTimer = 0.0f;
}

// ---- Airport scan on its own thread.

void ScanAptDat(const std::string &path) {
  apt::Index *index = nullptr;
  try {
    index = new apt::Index;
    if (index->read(path.c_str()) && !index->airports.empty()) {
      std::snprintf(gAptResultLine, sizeof gAptResultLine, "apt.dat indexed: %zu airports, %zu runways",
                    index->airports.size(), index->runways.size());
      gApt.store(index, std::memory_order_release);
    } else {
      std::snprintf(gAptResultLine, sizeof gAptResultLine, "apt.dat not read from %s — airports unavailable",
                    path.c_str());
      delete index;
    }
  } catch (const std::bad_alloc &) {
    delete index;
    std::snprintf(gAptResultLine, sizeof gAptResultLine, "apt.dat scan failed: out of memory — airports unavailable");
  } catch (...) {
    delete index;
    std::snprintf(gAptResultLine, sizeof gAptResultLine, "apt.dat scan failed — airports unavailable");
  }
  gAptDone.store(true, std::memory_order_release);
}

void JoinAptScan() {
  if (!gAptThread.joinable()) return;
  try {
    gAptThread.join();
  } catch (const std::system_error &) {
    // The thread cannot be waited for; let it end on its own rather than terminate X-Plane.
    try {
      gAptThread.detach();
    } catch (const std::system_error &) {
    }
  }
}

void StartAptScan() {
  // A start after a stop whose join failed must not overwrite a thread that is still joinable.
  JoinAptScan();
  char systemPath[512] = {};
  XPLMGetSystemPath(systemPath);
  systemPath[sizeof systemPath - 1] = '\0';
  gAptDone.store(false, std::memory_order_relaxed);
  gAptLineLogged = false;
  gAptResultLine[0] = '\0';
  try {
    std::string path = std::string(systemPath) + "Global Scenery/Global Airports/Earth nav data/apt.dat";
    gAptThread = std::thread([path = std::move(path)] { ScanAptDat(path); });
  } catch (const std::exception &) {
    gAptDone.store(true, std::memory_order_release);
    gAptLineLogged = true;
    Log("apt.dat scan thread not started — airports unavailable");
  }
}

// Writes the scan's result line once, from the main thread, after the scan has finished.
void LogAptResult() {
  if (gAptLineLogged || !gAptDone.load(std::memory_order_acquire)) return;
  gAptLineLogged = true;
  if (gAptResultLine[0] != '\0') Log("%s", gAptResultLine);
}

void StopAptScan() {
  JoinAptScan();
  LogAptResult();
  delete gApt.exchange(nullptr, std::memory_order_acq_rel);
}

// ---- The frame.

float FlightLoop(float inElapsedSinceLastCall, float, int, void *) noexcept {
  const float dt = FrameInterval(inElapsedSinceLastCall);
  gSecondsSincePacket += dt;
  gSecondsSinceHeard += dt;
  gLinkClock += dt;
  gFrameDt = dt;
  gRestartLineAge += dt;
  LogAptResult();
  if (gSocket != kNoSocket) ReceiveStep();
  DNSStep();
  StatusStep(dt);
  FlightStateStep();
  AirportStep(dt);
  WeatherStep(dt);
  IdentityStep(dt);
  if (gHaveLatest) {
    PoseStep(dt);
    StatsStep(dt);
  }
  MenuStep(dt);
  return -1.0f;
}

// ---- Start: datarefs, socket, discovery, scan, frame.

XPLMDataRef Find(const char *name) { return XPLMFindDataRef(name); }

void FindTelemetryRefs() {
  gTheta = Find("sim/flightmodel/position/theta");
  gPhi = Find("sim/flightmodel/position/phi");
  gIas = Find("sim/flightmodel/position/indicated_airspeed");
  gAlt = Find("sim/flightmodel/misc/h_ind");
  gVs = Find("sim/flightmodel/position/vh_ind_fpm");
  gMagPsi = Find("sim/flightmodel/position/mag_psi");
  gTas = Find("sim/flightmodel/position/true_airspeed");
  gGs = Find("sim/flightmodel/position/groundspeed");
  gLat = Find("sim/flightmodel/position/latitude");
  gLon = Find("sim/flightmodel/position/longitude");
  gHaveTelemetry = gTheta && gPhi && gIas && gAlt && gVs && gMagPsi && gTas && gGs && gLat && gLon;
  if (!gHaveTelemetry) Log("some flight datarefs missing — telemetry will report unavailable");

  gTrack = Find("sim/flightmodel/position/hpath");
  gHaveTrack = gTrack != nullptr;
  if (!gHaveTrack) Log("hpath missing — ground track will report unavailable");

  gWindDir = Find("sim/weather/aircraft/wind_now_direction_degt");
  gWindSpd = Find("sim/weather/aircraft/wind_now_speed_msc");
  gQnh = Find("sim/weather/aircraft/qnh_pas");
  gVis = Find("sim/weather/aircraft/visibility_reported_sm");
  gOat = Find("sim/weather/aircraft/temperature_ambient_deg_c");
  gHaveWeather = gWindDir && gWindSpd && gQnh && gVis && gOat;
  if (!gHaveWeather) Log("XP12 weather datarefs missing — weather will report unavailable");

  gOnGndRef = Find("sim/flightmodel/failures/onground_any");
  gAglRef = Find("sim/flightmodel/position/y_agl");
  gGLoadRef = Find("sim/flightmodel/forces/g_nrml");
  gSimTimeRef = Find("sim/time/total_flight_time_sec");
  gPausedRef = Find("sim/time/paused");
  gReplayRef = Find("sim/time/is_in_replay");
  gTailRef = Find("sim/aircraft/view/acf_tailnum");
  gICAORef = Find("sim/aircraft/view/acf_ICAO");
  if (!gOnGndRef || !gAglRef)
    Log("flight-state datarefs missing (onground=%s agl=%s) — recording will report unavailable",
        gOnGndRef ? "ok" : "MISSING", gAglRef ? "ok" : "MISSING");

  gGetMETAR = reinterpret_cast<CVHT_GetMETARForAirport_f>(XPLMFindSymbol("XPLMGetMETARForAirport"));
  if (!gGetMETAR) Log("XPLMGetMETARForAirport unavailable — no METAR on this sim");
}

bool OpenSocket() {
  gSocket = socket(AF_INET, SOCK_DGRAM, 0);
  if (gSocket == kNoSocket) {
    Log("socket() failed");
    return false;
  }
  SetAddressReuse(gSocket);
  SetIntOption(gSocket, SOL_SOCKET, SO_RCVBUF, 16384);
  PrepareUdpSocket(gSocket);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(kPort));
  if (bind(gSocket, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    Log("bind() to port %d failed", kPort);
    CloseSocket(gSocket);
    gSocket = kNoSocket;
    return false;
  }
  Log("listening on UDP %d", kPort);
  return true;
}

int Start(char *outName, char *outSig, char *outDesc) {
  std::snprintf(outName, 256, "%s", "Corvane Head Tracker");
  std::snprintf(outSig, 256, "%s", "com.corvane.corvaneheadtracker");
  std::snprintf(outDesc, 256, "%s", "Applies iPhone head-tracking pose to the 3D cockpit viewpoint.");
  XPLMEnableFeature("XPLM_USE_NATIVE_PATHS", 1);

  for (int i = 0; i < 6; ++i) {
    gRef[i] = Find(kHeadRefNames[i]);
    if (!gRef[i]) {
      Log("missing dataref %s", kHeadRefNames[i]);
      return 0;
    }
  }
  gViewTypeRef = Find("sim/graphics/view/view_type");
  FindTelemetryRefs();
  gEyeRef[0] = Find("sim/aircraft/view/acf_peX");
  gEyeRef[1] = Find("sim/aircraft/view/acf_peY");
  gEyeRef[2] = Find("sim/aircraft/view/acf_peZ");
  if (!gEyeRef[0] || !gEyeRef[1] || !gEyeRef[2]) {
    Log("missing acf_pe datarefs");
    return 0;
  }

  if (!NetStart()) {
    Log("socket() failed");
    return 0;
  }
  if (!OpenSocket()) {
    NetStop();
    return 0;
  }
  RegisterDNS();
  StartAptScan();
  StartControls();
  XPLMRegisterFlightLoopCallback(FlightLoop, -1.0f, nullptr);
  Log("started | build %s | signs X=%+.0f Y=%+.0f Z=%+.0f yaw=%+.0f pitch=%+.0f roll=%+.0f | gains trans=%.1f "
      "gainY=%.1f yaw=%.1f pitch=%.1f roll=%.1f | clamp %.2fm/%.0fdeg",
      __DATE__ " " __TIME__, double(kSignX), double(kSignY), double(kSignZ), double(kSignYaw), double(kSignPitch),
      double(kSignRoll), double(kGainTrans), double(kGainY), double(kGainYaw), double(kGainPitch), double(kGainRoll),
      double(kLimitTransM), double(kLimitDeg));
  return 1;
}

void Stop() {
  XPLMUnregisterFlightLoopCallback(FlightLoop, nullptr);
  RestoreNeutral();
  StopControls();
  WithdrawDNS();
  UnloadBonjour();
  if (gSocket != kNoSocket) {
    CloseSocket(gSocket);
    gSocket = kNoSocket;
    NetStop();
  }
  StopAptScan();
  Log("stopped");
}

}  // namespace

// ---- Entry points. Nothing may throw into X-Plane.

CVHT_PLUGIN_EXPORT int XPluginStart(char *outName, char *outSignature, char *outDescription) {
  try {
    return Start(outName, outSignature, outDescription);
  } catch (...) {
    return 0;
  }
}

CVHT_PLUGIN_EXPORT void XPluginStop(void) {
  try {
    Stop();
  } catch (...) {
  }
}

CVHT_PLUGIN_EXPORT int XPluginEnable(void) { return 1; }

CVHT_PLUGIN_EXPORT void XPluginDisable(void) {
  RestoreNeutral();
  SetHeadShakeOverride(false);
}

CVHT_PLUGIN_EXPORT void XPluginReceiveMessage(XPLMPluginID, int inMessage, void *inParam) {
  if (inMessage != XPLM_MSG_PLANE_LOADED || inParam != nullptr) return;
  gHaveNeutral = false;
  gIdentityTimer = 5.0f;  // identity goes out on the next frame
  Log("aircraft loaded — eye reference will be re-captured");
}
