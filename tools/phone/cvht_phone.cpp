// cvht-phone: the phone's side of the head-tracking link, for trying the plug-in in X-Plane or in our
// simulated host: find it through DNS-SD, stream head poses, decode its telemetry, ask about an airport.
#include <arpa/inet.h>
#include <dns_sd.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cvht_wire.h"
#include "phone_decode.h"
#include "phone_link.h"

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void Usage() {
  std::fprintf(stderr,
               "usage: cvht-phone browse [--timeout S]\n"
               "       cvht-phone stream [--host H|auto] [--port P] [--pattern still|sway|csv:FILE] [--rate HZ]\n"
               "                         [--seconds S] [--no-tracking] [--seq-start N] [--pause AT:DURATION]\n"
               "                         [--watch] [--json] [--query IDENT@T | --query-nearest@T] [--quiet]\n"
               "                         [--time-offset S]\n"
               "       cvht-phone watch  [--host H|auto] [--port P] [--seconds S] [--json]\n"
               "       cvht-phone query IDENT [--host H|auto] [--port P] [--timeout S] [--json]\n"
               "--host auto (the default) looks for the plug-in through DNS-SD and falls back to 127.0.0.1.\n"
               "A recorded CSV has the columns t,x,y,z,yaw,pitch,roll (seconds, metres, degrees).\n");
}

// ---- DNS-SD browsing and resolving.

struct Service {
  std::string name, type, domain;
  uint32_t iface = 0;
  std::string host;
  uint16_t port = 0;
  std::string address;
};

void DNSSD_API OnBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t iface, DNSServiceErrorType err, const char *name,
                        const char *type, const char *domain, void *ctx) {
  if (err != kDNSServiceErr_NoError || !(flags & kDNSServiceFlagsAdd)) return;
  static_cast<std::vector<Service> *>(ctx)->push_back({name, type, domain, iface, "", 0, ""});
}

void DNSSD_API OnResolve(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType err, const char *, const char *host,
                         uint16_t port, uint16_t, const unsigned char *, void *ctx) {
  if (err != kDNSServiceErr_NoError) return;
  auto *s = static_cast<Service *>(ctx);
  s->host = host ? host : "";
  s->port = ntohs(port);
}

// Waits for the reference's next reply until the deadline; false when none came.
bool Pump(DNSServiceRef ref, Clock::time_point deadline) {
  int fd = DNSServiceRefSockFD(ref);
  if (fd < 0 || fd >= FD_SETSIZE) return false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || gStop) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 200)));
    if (r > 0) return DNSServiceProcessResult(ref) == kDNSServiceErr_NoError;
  }
}

// The IPv4 address of a resolved host; a host that is this machine, or a loopback interface, is 127.0.0.1.
std::string AddressOf(const Service &s) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  if (getaddrinfo(s.host.c_str(), nullptr, &hints, &res) == 0 && res) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, buf, sizeof buf);
    freeaddrinfo(res);
    return buf;
  }
  char self[256] = {};
  gethostname(self, sizeof self - 1);
  if (s.iface == if_nametoindex("lo") || s.host == std::string(self) + ".local" || s.host == std::string(self) + ".local.")
    return "127.0.0.1";
  return "";
}

std::vector<Service> Browse(double seconds, bool verbose) {
  std::vector<Service> found;
  DNSServiceRef ref = nullptr;
  DNSServiceErrorType err = DNSServiceBrowse(&ref, 0, 0, cvht::kServiceType, nullptr, OnBrowse, &found);
  if (err != kDNSServiceErr_NoError) {
    if (verbose) std::fprintf(stderr, "cvht-phone: DNS-SD browse failed: %d (is avahi-daemon running?)\n", err);
    return found;
  }
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (found.empty() && Pump(ref, deadline)) {
  }
  DNSServiceRefDeallocate(ref);
  for (auto &s : found) {
    DNSServiceRef r = nullptr;
    DNSServiceErrorType e = DNSServiceResolve(&r, 0, s.iface, s.name.c_str(), s.type.c_str(), s.domain.c_str(), OnResolve, &s);
    if (e == kDNSServiceErr_NoError) {
      // A reply may carry no answer yet; keep reading until the host is known or time is up.
      auto until = Clock::now() + std::chrono::seconds(3);
      while (s.host.empty() && Pump(r, until)) {
      }
      DNSServiceRefDeallocate(r);
    } else if (verbose) {
      std::fprintf(stderr, "cvht-phone: resolving \"%s\" failed: %d\n", s.name.c_str(), e);
    }
    if (!s.host.empty()) s.address = AddressOf(s);
  }
  return found;
}

// ---- The link to the plug-in, with what went each way counted by kind.

struct Link : phone::Link {
  using phone::Link::Link;
  std::map<std::string, int> received;
  std::map<std::string, int> sent;

  void Send(const std::string &bytes, const char *kind) {
    phone::Link::Send(bytes);
    ++sent[kind];
  }
  // Receives for at most waitMs; calls handle(bytes, size) for each datagram.
  template <typename F>
  void Receive(int waitMs, F handle) {
    if (!Wait(waitMs)) return;
    // Bounded, so a flood of packets cannot keep the caller from its own clock.
    for (const std::string &p : Take(256)) {
      const auto *d = reinterpret_cast<const uint8_t *>(p.data());
      ++received[phone::KindName(phone::Classify(d, p.size()))];
      handle(d, p.size());
    }
  }
};

// The link to the host by address or name; "auto" looks for the plug-in through DNS-SD first.
std::unique_ptr<Link> Open(const std::string &hostArg, int port) {
  std::string host = hostArg;
  if (host == "auto") {
    auto found = Browse(3.0, false);
    host.clear();
    for (const auto &s : found) {
      if (!s.address.empty()) {
        std::printf("[phone] found \"%s\" at %s:%u through DNS-SD\n", s.name.c_str(), s.address.c_str(), s.port);
        host = s.address;
        port = s.port;
        break;
      }
    }
    if (host.empty()) {
      std::printf("[phone] discovery unavailable or nothing advertised — using 127.0.0.1\n");
      host = "127.0.0.1";
    }
  }
  auto link = std::make_unique<Link>(host, port);
  if (link->Error().empty()) return link;
  std::fprintf(stderr, "cvht-phone: %s\n", link->Error().c_str());
  return nullptr;
}

void PrintSummary(const Link &link) {
  std::string s = "[phone] sent:";
  for (const auto &[k, v] : link.sent) s += " " + k + "=" + std::to_string(v);
  s += " | received:";
  for (const auto &[k, v] : link.received) s += " " + k + "=" + std::to_string(v);
  if (link.received.empty()) s += " nothing";
  std::printf("%s\n", s.c_str());
}

// ---- Head motion.

struct Sample {
  double t;
  float x, y, z, yaw, pitch, roll;
};

std::vector<Sample> LoadCsv(const std::string &path) {
  std::vector<Sample> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    for (auto &c : line)
      if (c == ',' || c == ';') c = ' ';
    std::istringstream ls(line);
    Sample s{};
    if (ls >> s.t >> s.x >> s.y >> s.z >> s.yaw >> s.pitch >> s.roll) out.push_back(s);
  }
  return out;
}

// A pilot looking around: a slow scan left and right, glances, a little nodding and leaning.
Sample Sway(double t) {
  const double tau = 2.0 * 3.141592653589793;
  Sample s{};
  s.t = t;
  s.yaw = static_cast<float>(22.0 * std::sin(tau * t / 7.0) + 6.0 * std::sin(tau * t / 1.9));
  s.pitch = static_cast<float>(6.0 * std::sin(tau * t / 4.3) - 2.0);
  s.roll = static_cast<float>(3.0 * std::sin(tau * t / 5.3));
  s.x = static_cast<float>(0.03 * std::sin(tau * t / 6.1));
  s.y = static_cast<float>(0.015 * std::sin(tau * t / 3.7));
  s.z = static_cast<float>(0.04 * std::sin(tau * t / 8.3));
  return s;
}

Sample FromCsv(const std::vector<Sample> &rec, double t) {
  if (rec.empty()) return Sample{t, 0, 0, 0, 0, 0, 0};
  double span = rec.back().t - rec.front().t;
  double at = span > 0 ? rec.front().t + std::fmod(t, span) : rec.front().t;
  for (const auto &s : rec)
    if (s.t >= at) return s;
  return rec.back();
}

struct Options {
  std::string host = "auto";
  int port = cvht::kPort;
  std::string pattern = "sway";
  double rate = 60.0;
  double seconds = 10.0;
  bool tracking = true;
  uint32_t seqStart = 1;
  double pauseAt = -1.0, pauseFor = 0.0;
  bool watch = false, json = false, quiet = false;
  std::string queryIdent;
  bool queryNearest = false;
  double queryAt = -1.0;
  double timeout = 3.0;
  double timeOffset = 0.0;  // added to the printed times, to line them up with another clock
  std::vector<std::string> positional;
};

bool ParseTimed(const std::string &v, std::string &what, double &at) {
  auto p = v.rfind('@');
  if (p == std::string::npos) {
    what = v;
    at = 0.0;
    return true;
  }
  what = v.substr(0, p);
  at = std::atof(v.c_str() + p + 1);
  return true;
}

bool Parse(int argc, char **argv, Options &o) {
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto val = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--host") o.host = val();
    else if (a == "--port") o.port = std::atoi(val().c_str());
    else if (a == "--pattern") o.pattern = val();
    else if (a == "--rate") o.rate = std::atof(val().c_str());
    else if (a == "--seconds") o.seconds = std::atof(val().c_str());
    else if (a == "--timeout") o.timeout = std::atof(val().c_str());
    else if (a == "--time-offset") o.timeOffset = std::atof(val().c_str());
    else if (a == "--no-tracking") o.tracking = false;
    else if (a == "--seq-start") o.seqStart = static_cast<uint32_t>(std::strtoul(val().c_str(), nullptr, 10));
    else if (a == "--pause") {
      std::string v = val();
      if (std::sscanf(v.c_str(), "%lf:%lf", &o.pauseAt, &o.pauseFor) != 2) return false;
    } else if (a == "--watch") o.watch = true;
    else if (a == "--json") o.json = true;
    else if (a == "--quiet") o.quiet = true;
    else if (a.rfind("--query-nearest", 0) == 0) {
      std::string ignored;
      o.queryNearest = true;
      ParseTimed(a, ignored, o.queryAt);
    } else if (a == "--query") ParseTimed(val(), o.queryIdent, o.queryAt);
    else if (!a.empty() && a[0] == '-') return false;
    else o.positional.push_back(a);
  }
  return o.port > 0 && o.port < 65536 && o.rate > 0 && o.rate <= 1000 && o.seconds >= 0 && o.timeout >= 0;
}

// Decoded output: every packet as JSON, or text with the per-frame packets shown once a second.
struct Printer {
  Printer(bool asJson, bool onlyAnswers, double offset) : json(asJson), quiet(onlyAnswers), offset(offset) {}
  bool json;
  bool quiet;
  double offset;
  double lastStatus = -10, lastFlight = -10;
  std::string nearest;
  void operator()(const uint8_t *d, size_t n, double t) {
    phone::Kind k = phone::Classify(d, n);
    if (k == phone::Kind::Airport && n >= 36) nearest = std::string(reinterpret_cast<const char *>(d + 20), strnlen(reinterpret_cast<const char *>(d + 20), 8));
    if (json) {
      std::printf("%s\n", phone::DecodeJson(d, n).c_str());
      return;
    }
    if (quiet && k != phone::Kind::AirportReply && k != phone::Kind::Bad) return;
    if (k == phone::Kind::Status) {
      if (t - lastStatus < 1.0) return;
      lastStatus = t;
    }
    if (k == phone::Kind::FlightState) {
      if (t - lastFlight < 1.0) return;
      lastFlight = t;
    }
    std::printf("[phone] %6.2fs %s\n", t + offset, phone::DecodeText(d, n).c_str());
  }
};

int Stream(const Options &o) {
  auto open = Open(o.host, o.port);
  if (!open) return 1;
  Link &link = *open;
  std::vector<Sample> recording;
  if (o.pattern.rfind("csv:", 0) == 0) {
    recording = LoadCsv(o.pattern.substr(4));
    if (recording.empty()) {
      std::fprintf(stderr, "cvht-phone: no samples in %s\n", o.pattern.c_str() + 4);
      return 2;
    }
  } else if (o.pattern != "still" && o.pattern != "sway") {
    std::fprintf(stderr, "cvht-phone: unknown pattern %s\n", o.pattern.c_str());
    return 2;
  }
  Printer print(o.json, o.quiet, o.timeOffset);
  uint32_t seq = o.seqStart;
  bool asked = false, paused = false;
  const auto t0 = Clock::now();
  const auto period = std::chrono::duration<double>(1.0 / o.rate);
  auto next = t0;
  if (!o.json) std::printf("[phone] streaming %s poses at %.0f Hz for %.0f s\n", o.pattern.c_str(), o.rate, o.seconds);
  while (!gStop && Since(t0) < o.seconds) {
    const double t = Since(t0);
    const bool inPause = o.pauseAt >= 0 && t >= o.pauseAt && t < o.pauseAt + o.pauseFor;
    if (inPause != paused && !o.json)
      std::printf("[phone] %6.2fs %s\n", t + o.timeOffset, inPause ? "pause: no poses" : "poses resume");
    paused = inPause;
    if (!inPause) {
      Sample s = o.pattern == "sway" ? Sway(t) : o.pattern == "still" ? Sample{t, 0, 0, 0, 0, 0, 0} : FromCsv(recording, t);
      // The echo is the send time in microseconds.
      link.Send(phone::PoseBytes(seq++, static_cast<uint64_t>(t * 1e6), {s.x, s.y, s.z, s.yaw, s.pitch, s.roll},
                                 o.tracking),
                "pose");
    }
    if (!asked && o.queryAt >= 0 && t >= o.queryAt && (!o.queryNearest || !print.nearest.empty())) {
      std::string ident = o.queryNearest ? print.nearest : o.queryIdent;
      if (!o.json) std::printf("[phone] %6.2fs asking about %s\n", t + o.timeOffset, ident.c_str());
      link.Send(phone::QueryBytes(ident), "query");
      asked = true;
    }
    next += std::chrono::duration_cast<Clock::duration>(period);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
      link.Receive(static_cast<int>(std::max<long long>(left, 0)), [&](const uint8_t *d, size_t n) {
        if (o.watch) print(d, n, Since(t0));
      });
      if (Clock::now() >= next) break;
    }
  }
  if (!o.json) PrintSummary(link);
  return 0;
}

int Watch(const Options &o) {
  auto link = Open(o.host, o.port);
  if (!link) return 1;
  // An empty airport question makes this socket the peer without moving anybody's head.
  link->Send(phone::QueryBytes(""), "query");
  Printer print(o.json, false, o.timeOffset);
  const auto t0 = Clock::now();
  while (!gStop && Since(t0) < o.seconds)
    link->Receive(100, [&](const uint8_t *d, size_t n) { print(d, n, Since(t0)); });
  if (!o.json) PrintSummary(*link);
  return 0;
}

int Query(const Options &o) {
  if (o.positional.size() != 1) {
    Usage();
    return 2;
  }
  auto link = Open(o.host, o.port);
  if (!link) return 1;
  link->Send(phone::QueryBytes(o.positional[0]), "query");
  const auto t0 = Clock::now();
  std::string answer;
  while (answer.empty() && !gStop && Since(t0) < o.timeout)
    link->Receive(50, [&](const uint8_t *d, size_t n) {
      if (phone::Classify(d, n) == phone::Kind::AirportReply)
        answer = o.json ? phone::DecodeJson(d, n) : phone::DecodeText(d, n);
    });
  if (answer.empty()) {
    std::printf("no answer\n");
    return 1;
  }
  std::printf("%s\n", answer.c_str());
  return 0;
}

int BrowseCommand(const Options &o) {
  auto found = Browse(o.timeout, true);
  if (found.empty()) {
    std::printf("nothing advertised as %s\n", cvht::kServiceType);
    return 1;
  }
  for (const auto &s : found)
    std::printf("found \"%s\" on interface %u: %s:%u (%s)\n", s.name.c_str(), s.iface, s.host.c_str(), s.port,
                s.address.empty() ? "address unknown" : s.address.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  if (argc < 2) {
    Usage();
    return 2;
  }
  Options o;
  if (!Parse(argc, argv, o)) {
    Usage();
    return 2;
  }
  std::string cmd = argv[1];
  if (cmd == "browse") return BrowseCommand(o);
  if (cmd == "stream") return Stream(o);
  if (cmd == "watch") return Watch(o);
  if (cmd == "query") return Query(o);
  Usage();
  return 2;
}
