// The XPLM functions of our simulated X-Plane, with the checks X-Plane itself would make of a plug-in.
#include "xplm_sim.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "cvht_xplm.h"

namespace simxp {

namespace {

struct DataRef {
  std::string name;
  Type type = Type::Float;
  bool writable = false;
  int i = 0;
  float f = 0.0f;
  double d = 0.0;
  std::string bytes;
  uint64_t writes = 0;
};

struct FlightLoop {
  XPLMFlightLoop_f fn;
  void *refcon;
  float interval;
};

// The plug-in's scan thread may (wrongly) call in, so the host's own tables are locked.
std::mutex gLock;
std::thread::id gMainThread = std::this_thread::get_id();
std::map<std::string, std::unique_ptr<DataRef>> gRefs;
// Omitted refs stay allocated, so a stale handle is a fault and never a crash or a reused address.
std::vector<std::unique_ptr<DataRef>> gRetired;
std::unordered_set<DataRef *> gLive;
std::vector<std::string> gLines;
std::string gPartial;
uint64_t gDebugCalls;
bool gEcho;
std::vector<std::string> gFaults;
std::string gSystemPath = "/";
std::map<std::string, int> gFeatures;
bool gMetarPresent = true;
std::map<std::string, std::string> gMetars;
std::map<std::string, char> gMetarFill;
std::vector<std::string> gMetarRequests;
std::function<std::string(const std::string &)> gMetarSource;
std::string gEchoPrefix;
std::vector<FlightLoop> gLoops;
uint64_t gFrames;
int gCounter;
uint64_t gTotalWrites;

void FaultLocked(const std::string &what) { gFaults.push_back(what); }

void CheckThreadLocked(const char *fn) {
  if (std::this_thread::get_id() != gMainThread) FaultLocked(std::string(fn) + " called off the main thread");
}

DataRef *Lookup(XPLMDataRef ref, const char *fn) {
  if (gLive.count(static_cast<DataRef *>(ref))) return static_cast<DataRef *>(ref);
  FaultLocked(std::string(fn) + " on an unknown or omitted dataref handle");
  return nullptr;
}

DataRef &Publish(const std::string &name, Type type, bool writable) {
  std::lock_guard<std::mutex> l(gLock);
  auto &slot = gRefs[name];
  if (!slot) {
    slot = std::make_unique<DataRef>();
    gLive.insert(slot.get());
  }
  slot->name = name;
  slot->type = type;
  slot->writable = writable;
  return *slot;
}

DataRef *Named(const std::string &name) {
  auto it = gRefs.find(name);
  return it == gRefs.end() ? nullptr : it->second.get();
}

const char *TypeName(Type t) {
  switch (t) {
    case Type::Int: return "int";
    case Type::Float: return "float";
    case Type::Double: return "double";
    case Type::Bytes: return "bytes";
  }
  return "?";
}

DataRef *Typed(XPLMDataRef ref, Type want, const char *fn) {
  DataRef *r = Lookup(ref, fn);
  if (r && r->type != want) {
    FaultLocked(std::string(fn) + " on " + TypeName(r->type) + " dataref " + r->name);
    return nullptr;
  }
  return r;
}

void Metar(const char *airport, XPLMFixedString150_t *out) {
  std::function<std::string(const std::string &)> source;
  {
    std::lock_guard<std::mutex> l(gLock);
    CheckThreadLocked("XPLMGetMETARForAirport");
    gMetarRequests.emplace_back(airport ? airport : "");
    std::memset(out->buffer, 0, sizeof out->buffer);
    if (!airport) return;
    if (auto fill = gMetarFill.find(airport); fill != gMetarFill.end()) {
      std::memset(out->buffer, fill->second, sizeof out->buffer);
      return;
    }
    if (auto it = gMetars.find(airport); it != gMetars.end()) {
      std::snprintf(out->buffer, sizeof out->buffer, "%s", it->second.c_str());
      return;
    }
    source = gMetarSource;
  }
  // Called unlocked: a scenario's source may read datarefs of its own.
  if (source) std::snprintf(out->buffer, sizeof out->buffer, "%s", source(airport).c_str());
}

}  // namespace

const std::vector<std::string> kHeadRefs = {
    "sim/graphics/view/pilots_head_x",   "sim/graphics/view/pilots_head_y",   "sim/graphics/view/pilots_head_z",
    "sim/graphics/view/pilots_head_psi", "sim/graphics/view/pilots_head_the", "sim/graphics/view/pilots_head_phi"};
const std::vector<std::string> kEyeRefs = {"sim/aircraft/view/acf_peX", "sim/aircraft/view/acf_peY",
                                           "sim/aircraft/view/acf_peZ"};
const std::vector<std::string> kFlightRefs = {
    "sim/flightmodel/position/theta",         "sim/flightmodel/position/phi",
    "sim/flightmodel/position/indicated_airspeed", "sim/flightmodel/misc/h_ind",
    "sim/flightmodel/position/vh_ind_fpm",    "sim/flightmodel/position/mag_psi",
    "sim/flightmodel/position/true_airspeed", "sim/flightmodel/position/groundspeed",
    "sim/flightmodel/position/latitude",      "sim/flightmodel/position/longitude"};
const std::vector<std::string> kWeatherRefs = {
    "sim/weather/aircraft/wind_now_direction_degt", "sim/weather/aircraft/wind_now_speed_msc",
    "sim/weather/aircraft/qnh_pas", "sim/weather/aircraft/visibility_reported_sm",
    "sim/weather/aircraft/temperature_ambient_deg_c"};
const std::vector<std::string> kFlightStateRefs = {
    "sim/flightmodel/failures/onground_any", "sim/flightmodel/position/y_agl", "sim/flightmodel/forces/g_nrml",
    "sim/time/total_flight_time_sec",        "sim/time/paused",                "sim/time/is_in_replay",
    "sim/aircraft/view/acf_tailnum",         "sim/aircraft/view/acf_ICAO"};
const char *const kTrackRef = "sim/flightmodel/position/hpath";
const char *const kViewTypeRef = "sim/graphics/view/view_type";

void Reset() {
  std::lock_guard<std::mutex> l(gLock);
  gMainThread = std::this_thread::get_id();
  // A new session: handles from the last one are no longer anybody's, so their memory can go.
  gRetired.clear();
  gRefs.clear();
  gLive.clear();
  gLines.clear();
  gPartial.clear();
  gDebugCalls = 0;
  gFaults.clear();
  gSystemPath = "/";
  gFeatures.clear();
  gMetarPresent = true;
  gMetars.clear();
  gMetarFill.clear();
  gMetarRequests.clear();
  gMetarSource = nullptr;
  gLoops.clear();
  gFrames = 0;
  gCounter = 0;
  gTotalWrites = 0;
}

void PublishInt(const std::string &name, int value, bool writable) { Publish(name, Type::Int, writable).i = value; }
void PublishFloat(const std::string &name, float value, bool writable) {
  Publish(name, Type::Float, writable).f = value;
}
void PublishDouble(const std::string &name, double value, bool writable) {
  Publish(name, Type::Double, writable).d = value;
}
void PublishBytes(const std::string &name, const std::string &bytes) {
  Publish(name, Type::Bytes, false).bytes = bytes;
}

void Omit(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  auto it = gRefs.find(name);
  if (it == gRefs.end()) return;
  gLive.erase(it->second.get());
  gRetired.push_back(std::move(it->second));
  gRefs.erase(it);
}

bool Has(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  return Named(name) != nullptr;
}

int GetInt(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  DataRef *r = Named(name);
  return r ? r->i : 0;
}
float GetFloat(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  DataRef *r = Named(name);
  return r ? r->f : 0.0f;
}
double GetDouble(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  DataRef *r = Named(name);
  return r ? r->d : 0.0;
}
void SetInt(const std::string &name, int value) {
  std::lock_guard<std::mutex> l(gLock);
  if (DataRef *r = Named(name)) r->i = value;
}
void SetFloat(const std::string &name, float value) {
  std::lock_guard<std::mutex> l(gLock);
  if (DataRef *r = Named(name)) r->f = value;
}
void SetDouble(const std::string &name, double value) {
  std::lock_guard<std::mutex> l(gLock);
  if (DataRef *r = Named(name)) r->d = value;
}
void SetBytes(const std::string &name, const std::string &bytes) {
  std::lock_guard<std::mutex> l(gLock);
  if (DataRef *r = Named(name)) r->bytes = bytes;
}
uint64_t WriteCount(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  DataRef *r = Named(name);
  return r ? r->writes : 0;
}
uint64_t TotalWrites() {
  std::lock_guard<std::mutex> l(gLock);
  return gTotalWrites;
}

void SetSystemPath(const std::string &path) {
  std::lock_guard<std::mutex> l(gLock);
  gSystemPath = path;
}
bool FeatureEnabled(const std::string &feature) {
  std::lock_guard<std::mutex> l(gLock);
  auto it = gFeatures.find(feature);
  return it != gFeatures.end() && it->second != 0;
}

void SetMetarFunction(bool present) {
  std::lock_guard<std::mutex> l(gLock);
  gMetarPresent = present;
}
void SetMetar(const std::string &ident, const std::string &text) {
  std::lock_guard<std::mutex> l(gLock);
  gMetars[ident] = text;
}
void SetMetarUnterminated(const std::string &ident, char fill) {
  std::lock_guard<std::mutex> l(gLock);
  gMetarFill[ident] = fill;
}
std::vector<std::string> MetarRequests() {
  std::lock_guard<std::mutex> l(gLock);
  return gMetarRequests;
}

std::vector<std::string> LogLines() {
  std::lock_guard<std::mutex> l(gLock);
  return gLines;
}
std::string LogText() {
  std::lock_guard<std::mutex> l(gLock);
  std::string all;
  for (const auto &line : gLines) all += line + "\n";
  return all + gPartial;
}
uint64_t DebugStringCalls() {
  std::lock_guard<std::mutex> l(gLock);
  return gDebugCalls;
}
void EchoLog(bool on, const std::string &prefix) {
  std::lock_guard<std::mutex> l(gLock);
  gEcho = on;
  gEchoPrefix = prefix;
}

void SetMetarSource(std::function<std::string(const std::string &)> source) {
  std::lock_guard<std::mutex> l(gLock);
  gMetarSource = std::move(source);
}

std::vector<std::string> Faults() {
  std::lock_guard<std::mutex> l(gLock);
  return gFaults;
}

size_t RegisteredFlightLoops() {
  std::lock_guard<std::mutex> l(gLock);
  return gLoops.size();
}

void RunFrame(float elapsed) {
  {
    std::lock_guard<std::mutex> l(gLock);
    CheckThreadLocked("RunFrame");
    ++gFrames;
  }
  // Walks the registrations by position without copying them, so a frame allocates nothing here;
  // a loop that unregisters itself is stepped over correctly.
  for (size_t i = 0;;) {
    FlightLoop loop;
    {
      std::lock_guard<std::mutex> l(gLock);
      if (i >= gLoops.size()) break;
      loop = gLoops[i];
    }
    loop.fn(elapsed, elapsed, ++gCounter, loop.refcon);
    std::lock_guard<std::mutex> l(gLock);
    if (i < gLoops.size() && gLoops[i].fn == loop.fn && gLoops[i].refcon == loop.refcon) ++i;
  }
}

uint64_t FramesRun() {
  std::lock_guard<std::mutex> l(gLock);
  return gFrames;
}

void PublishStandardAircraft() {
  for (const auto &name : kHeadRefs) PublishFloat(name, 0.0f, true);
  PublishFloat(kEyeRefs[0], 0.1f);
  PublishFloat(kEyeRefs[1], 0.8f);
  PublishFloat(kEyeRefs[2], -0.4f);
  PublishInt(kViewTypeRef, 1026);  // 3D cockpit
  PublishFloat("sim/flightmodel/position/theta", 2.5f);
  PublishFloat("sim/flightmodel/position/phi", -0.5f);
  PublishFloat("sim/flightmodel/position/indicated_airspeed", 0.0f);
  PublishFloat("sim/flightmodel/misc/h_ind", 433.0f);
  PublishFloat("sim/flightmodel/position/vh_ind_fpm", 0.0f);
  PublishFloat("sim/flightmodel/position/mag_psi", 271.0f);
  PublishFloat("sim/flightmodel/position/true_airspeed", 0.0f);
  PublishFloat("sim/flightmodel/position/groundspeed", 0.0f);
  PublishDouble("sim/flightmodel/position/latitude", 47.4647);
  PublishDouble("sim/flightmodel/position/longitude", 8.5492);
  PublishFloat(kTrackRef, 273.0f);
  PublishFloat("sim/weather/aircraft/wind_now_direction_degt", 250.0f);
  PublishFloat("sim/weather/aircraft/wind_now_speed_msc", 5.0f);
  PublishFloat("sim/weather/aircraft/qnh_pas", 101325.0f);
  PublishFloat("sim/weather/aircraft/visibility_reported_sm", 10.0f);
  PublishFloat("sim/weather/aircraft/temperature_ambient_deg_c", 15.0f);
  PublishInt("sim/flightmodel/failures/onground_any", 1);
  PublishFloat("sim/flightmodel/position/y_agl", 0.0f);
  PublishFloat("sim/flightmodel/forces/g_nrml", 1.0f);
  PublishFloat("sim/time/total_flight_time_sec", 0.0f);
  PublishInt("sim/time/paused", 0);
  PublishInt("sim/time/is_in_replay", 0);
  PublishBytes("sim/aircraft/view/acf_tailnum", std::string("HB-CVH") + std::string(34, '\0'));
  PublishBytes("sim/aircraft/view/acf_ICAO", std::string("C172") + std::string(36, '\0'));
}

// ---- The loader.

Plugin::~Plugin() {
  if (handle_) Unload();
}

// The five entry points through the platform's symbol look-up; without all of them the plug-in is unloaded.
template <typename Find>
bool Plugin::FindEntryPoints(Find find) {
  start_ = reinterpret_cast<int (*)(char *, char *, char *)>(find("XPluginStart"));
  stop_ = reinterpret_cast<void (*)()>(find("XPluginStop"));
  enable_ = reinterpret_cast<int (*)()>(find("XPluginEnable"));
  disable_ = reinterpret_cast<void (*)()>(find("XPluginDisable"));
  message_ = reinterpret_cast<void (*)(int, int, void *)>(find("XPluginReceiveMessage"));
  if (start_ && stop_ && enable_ && disable_ && message_) return true;
  error_ = "missing an XPlugin entry point";
  Unload();
  return false;
}

#if defined(_WIN32)
// X-Plane for Windows loads each plug-in with LoadLibrary; its XPLM calls bind to this XPLM_64.dll.
bool Plugin::Load(const std::string &path) {
  path_ = path;
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) {
    error_ = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return false;
  }
  handle_ = module;
  return FindEntryPoints([module](const char *name) { return reinterpret_cast<void *>(GetProcAddress(module, name)); });
}

bool Plugin::Unload() {
  if (!handle_) return true;
  FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
  return GetModuleHandleA(path_.c_str()) == nullptr;
}
#else
bool Plugin::Load(const std::string &path) {
  path_ = path;
  // X-Plane's process keeps its DNS-SD library for good (on the Mac it is part of the system library), so
  // unloading a plug-in never unloads it, nor the D-Bus library under it with its per-process caches.
  // The host holds it the same way; without it each unload would throw those caches away.
  static void *const dnssd = dlopen("libdns_sd.so.1", RTLD_NOW | RTLD_LOCAL);
  (void)dnssd;
  // RTLD_LOCAL as X-Plane does: plug-ins do not see each other's symbols.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char *e = dlerror();
    error_ = e ? e : "dlopen failed";
    return false;
  }
  return FindEntryPoints([this](const char *name) { return dlsym(handle_, name); });
}

bool Plugin::Unload() {
  if (!handle_) return true;
  dlclose(handle_);
  handle_ = nullptr;
  void *still = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (still) {
    dlclose(still);
    return false;
  }
  return true;
}
#endif

int Plugin::Start() {
  char name[256], sig[256], desc[256];
  std::memset(name, 0x7f, sizeof name);
  std::memset(sig, 0x7f, sizeof sig);
  std::memset(desc, 0x7f, sizeof desc);
  int r = start_(name, sig, desc);
  name[255] = sig[255] = desc[255] = '\0';
  name_ = name;
  signature_ = sig;
  description_ = desc;
  return r;
}

void Plugin::Stop() { stop_(); }
int Plugin::Enable() { return enable_(); }
void Plugin::Disable() { disable_(); }
void Plugin::Message(int from, int message, void *param) { message_(from, message, param); }

std::string DefaultPluginPath() {
  if (const char *env = std::getenv("CVHT_XPL")) return env;
  return CVHT_DEFAULT_XPL;
}

}  // namespace simxp

// ---- The XPLM functions, with C linkage, as X-Plane exports them.

using namespace simxp;

extern "C" {

void XPLMDebugString(const char *inString) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMDebugString");
  ++gDebugCalls;
  if (!inString) return;
  gPartial += inString;
  size_t nl;
  while ((nl = gPartial.find('\n')) != std::string::npos) {
    gLines.push_back(gPartial.substr(0, nl));
    if (gEcho) std::printf("%s%s\n", gEchoPrefix.c_str(), gLines.back().c_str());
    gPartial.erase(0, nl + 1);
  }
}

void XPLMEnableFeature(const char *inFeature, int inEnable) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMEnableFeature");
  if (inFeature) gFeatures[inFeature] = inEnable;
}

XPLMDataRef XPLMFindDataRef(const char *inDataRefName) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMFindDataRef");
  if (!inDataRefName) return nullptr;
  return Named(inDataRefName);
}

int XPLMGetDatai(XPLMDataRef inDataRef) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDatai");
  DataRef *r = Typed(inDataRef, Type::Int, "XPLMGetDatai");
  return r ? r->i : 0;
}

float XPLMGetDataf(XPLMDataRef inDataRef) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDataf");
  DataRef *r = Typed(inDataRef, Type::Float, "XPLMGetDataf");
  return r ? r->f : 0.0f;
}

double XPLMGetDatad(XPLMDataRef inDataRef) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDatad");
  DataRef *r = Typed(inDataRef, Type::Double, "XPLMGetDatad");
  return r ? r->d : 0.0;
}

void XPLMSetDataf(XPLMDataRef inDataRef, float inValue) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMSetDataf");
  DataRef *r = Typed(inDataRef, Type::Float, "XPLMSetDataf");
  if (!r) return;
  if (!r->writable) {
    FaultLocked("XPLMSetDataf on read-only dataref " + r->name);
    return;
  }
  r->f = inValue;
  ++r->writes;
  ++gTotalWrites;
}

int XPLMGetDatab(XPLMDataRef inDataRef, void *outValue, int inOffset, int inMaxBytes) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDatab");
  DataRef *r = Typed(inDataRef, Type::Bytes, "XPLMGetDatab");
  if (!r) return 0;
  if (!outValue) return static_cast<int>(r->bytes.size());
  if (inOffset < 0 || inMaxBytes < 0) return 0;
  if (static_cast<size_t>(inOffset) >= r->bytes.size()) return 0;
  size_t n = std::min(r->bytes.size() - inOffset, static_cast<size_t>(inMaxBytes));
  std::memcpy(outValue, r->bytes.data() + inOffset, n);
  return static_cast<int>(n);
}

void *XPLMFindSymbol(const char *inString) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMFindSymbol");
  if (inString && gMetarPresent && std::strcmp(inString, "XPLMGetMETARForAirport") == 0)
    return reinterpret_cast<void *>(&Metar);
  return nullptr;
}

void XPLMGetSystemPath(char *outSystemPath) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetSystemPath");
  std::snprintf(outSystemPath, 512, "%s", gSystemPath.c_str());
}

void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval, void *inRefcon) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMRegisterFlightLoopCallback");
  for (const auto &loop : gLoops)
    if (loop.fn == inFlightLoop && loop.refcon == inRefcon) FaultLocked("flight loop registered twice");
  gLoops.push_back({inFlightLoop, inRefcon, inInterval});
}

void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void *inRefcon) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMUnregisterFlightLoopCallback");
  for (auto it = gLoops.begin(); it != gLoops.end(); ++it) {
    if (it->fn == inFlightLoop && it->refcon == inRefcon) {
      gLoops.erase(it);
      return;
    }
  }
}

}  // extern "C"
