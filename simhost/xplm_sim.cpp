// The XPLM functions of our simulated X-Plane, with the checks X-Plane itself would make of a plug-in.
#include "xplm_sim.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "cvht_xplm.h"

// Another plug-in's hold on the camera; its camera function is never called here.
extern "C" void XPLMControlCamera(int inHowLong, void *inControlFunc, void *inRefcon);
extern "C" void XPLMDontControlCamera(void);

namespace simxp {

namespace {

// The callbacks of a dataref that a plug-in publishes; X-Plane calls them for every read and write.
struct Accessor {
  XPLMGetDatai_f gi = nullptr;
  XPLMSetDatai_f si = nullptr;
  XPLMGetDataf_f gf = nullptr;
  XPLMSetDataf_f sf = nullptr;
  XPLMGetDatad_f gd = nullptr;
  XPLMGetDatavf_f gvf = nullptr;
  XPLMGetDatab_f gb = nullptr;
  void *readRefcon = nullptr, *writeRefcon = nullptr;
};

struct DataRef {
  std::string name;
  bool published = false;  // registered by a plug-in, read and written through acc
  Accessor acc;
  Type type = Type::Float;
  bool writable = false;
  int i = 0;
  float f = 0.0f;
  double d = 0.0;
  std::string bytes;
  uint64_t writes = 0;
  std::vector<int> intWrites;
};

struct Command {
  std::string name, description;
  struct Handler {
    XPLMCommandCallback_f fn;
    int before;
    void *refcon;
  };
  std::vector<Handler> handlers;
};

struct Menu;
struct MenuItem {
  std::string name;
  void *itemRef = nullptr;
  Command *command = nullptr;
  int check = 0;
  bool enabled = true, separator = false;
  bool byPlugin = true;
  Menu *submenu = nullptr;
};
struct Menu {
  std::string name;
  XPLMMenuHandler_f handler = nullptr;
  void *menuRef = nullptr;
  std::vector<MenuItem> items;
};

struct OtherPlugin {
  std::string signature;
  bool enabled;
  std::vector<std::string> messages;
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
std::string gPrefsPath;  // empty: the default under the system path
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
std::map<std::string, std::unique_ptr<Command>> gCommands;
std::vector<std::unique_ptr<Menu>> gMenus;  // [0] is X-Plane's Plugins menu; destroyed ones stay allocated
std::unordered_set<Menu *> gLiveMenus;
std::vector<OtherPlugin> gPlugins;  // ids are 1 + the position
int gCameraHeld;  // how long another plug-in holds the camera: 0 not at all

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
    case Type::FloatArray: return "float array";
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

// The dataref a set call writes, with the write counted; null, and a fault, where X-Plane would refuse.
DataRef *Writable(XPLMDataRef ref, Type want, const char *fn) {
  DataRef *r = Typed(ref, want, fn);
  if (!r) return nullptr;
  if (!r->writable) {
    FaultLocked(std::string(fn) + " on read-only dataref " + r->name);
    return nullptr;
  }
  ++r->writes;
  ++gTotalWrites;
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

Command *CommandOf(XPLMCommandRef ref, const char *fn) {
  for (auto &[name, c] : gCommands)
    if (c.get() == ref) return c.get();
  FaultLocked(std::string(fn) + " on an unknown command");
  return nullptr;
}

Menu *MenuOf(XPLMMenuID id, const char *fn) {
  if (gLiveMenus.count(static_cast<Menu *>(id))) return static_cast<Menu *>(id);
  FaultLocked(std::string(fn) + " on an unknown or destroyed menu");
  return nullptr;
}

MenuItem *ItemOf(XPLMMenuID id, int index, const char *fn) {
  Menu *m = MenuOf(id, fn);
  if (m && index >= 0 && static_cast<size_t>(index) < m->items.size()) return &m->items[index];
  if (m) FaultLocked(std::string(fn) + " on item " + std::to_string(index) + " of menu " + m->name);
  return nullptr;
}

Menu *LiveMenuNamed(const std::string &name) {
  for (auto &m : gMenus)
    if (gLiveMenus.count(m.get()) && m->name == name) return m.get();
  return nullptr;
}

void ResetMenusLocked() {
  gMenus.clear();
  gLiveMenus.clear();
  gMenus.push_back(std::make_unique<Menu>());
  gMenus[0]->name = "Plugins";
  gLiveMenus.insert(gMenus[0].get());
  // X-Plane's own entries come first, so a plug-in's item never has index 0.
  for (const char *own : {"Show Plugin Admin", "Show Plugin Menu"}) {
    gMenus[0]->items.push_back({});
    gMenus[0]->items.back().name = own;
    gMenus[0]->items.back().byPlugin = false;
  }
}

// Runs every handler of one phase, unlocked: handlers call back into X-Plane.
void RunHandlers(Command *c, int phase) {
  std::vector<Command::Handler> handlers;
  {
    std::lock_guard<std::mutex> l(gLock);
    CheckThreadLocked("a command");
    for (int before : {1, 0})
      for (const auto &h : c->handlers)
        if (h.before == before) handlers.push_back(h);
  }
  for (const auto &h : handlers)
    if (h.fn(c, phase, h.refcon) == 0) return;
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
  gPrefsPath.clear();
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
  gCommands.clear();
  ResetMenusLocked();
  gPlugins.clear();
  gCameraHeld = 0;
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
  std::unique_lock<std::mutex> l(gLock);
  DataRef *r = Named(name);
  if (r && r->published && r->acc.gi) {
    const Accessor a = r->acc;
    l.unlock();
    return a.gi(a.readRefcon);
  }
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
// A write to a published dataref goes to its owner, as another plug-in's would; read-only ones ignore it.
void SetInt(const std::string &name, int value) {
  std::unique_lock<std::mutex> l(gLock);
  DataRef *r = Named(name);
  if (r && r->published) {
    const Accessor a = r->acc;
    l.unlock();
    if (a.si) a.si(a.writeRefcon, value);
    return;
  }
  if (r) r->i = value;
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

int GetFloats(const std::string &name, float *out, int offset, int max) {
  std::unique_lock<std::mutex> l(gLock);
  DataRef *r = Named(name);
  if (!r || !r->published || !r->acc.gvf) return 0;
  const Accessor a = r->acc;
  l.unlock();
  return a.gvf(a.readRefcon, out, offset, max);
}

bool RunCommand(const std::string &name, int phase) {
  Command *c;
  {
    std::lock_guard<std::mutex> l(gLock);
    auto it = gCommands.find(name);
    if (it == gCommands.end()) return false;
    c = it->second.get();
  }
  RunHandlers(c, phase);
  return true;
}

bool CommandOnce(const std::string &name) { return RunCommand(name, kBegin) && RunCommand(name, kEnd); }

std::string CommandDescription(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  auto it = gCommands.find(name);
  return it == gCommands.end() ? "" : it->second->description;
}

std::vector<MenuEntry> MenuItems(const std::string &menu) {
  std::lock_guard<std::mutex> l(gLock);
  std::vector<MenuEntry> out;
  if (Menu *m = LiveMenuNamed(menu))
    for (const MenuItem &i : m->items)
      out.push_back({i.name, i.check, i.enabled, i.separator, i.command ? i.command->name : "",
                     i.submenu && gLiveMenus.count(i.submenu)});
  return out;
}

namespace {
void RenderMenu(const Menu &m, int depth, std::string &out) {
  for (const MenuItem &i : m.items) {
    out += std::string(2 * depth, ' ');
    if (i.separator) {
      out += "----\n";
      continue;
    }
    out += i.check == 2 ? "[x] " : i.check == 1 ? "[ ] " : "";
    out += i.name;
    if (!i.enabled) out += " (disabled)";
    if (i.command) out += "  <" + i.command->name + ">";
    const bool sub = i.submenu && gLiveMenus.count(i.submenu);
    out += sub ? " >\n" : "\n";
    if (sub) RenderMenu(*i.submenu, depth + 1, out);
  }
}
}  // namespace

std::string MenuText() {
  std::lock_guard<std::mutex> l(gLock);
  std::string out = "Plugins\n";
  RenderMenu(*gMenus[0], 1, out);
  return out;
}

bool ChooseMenuItem(const std::string &menu, const std::string &item) {
  Command *command = nullptr;
  XPLMMenuHandler_f handler = nullptr;
  void *menuRef = nullptr, *itemRef = nullptr;
  {
    std::lock_guard<std::mutex> l(gLock);
    Menu *m = LiveMenuNamed(menu);
    if (!m) return false;
    auto it = std::find_if(m->items.begin(), m->items.end(), [&](const MenuItem &i) { return i.name == item; });
    if (it == m->items.end() || !it->enabled || it->separator) return false;
    command = it->command;
    handler = m->handler;
    menuRef = m->menuRef;
    itemRef = it->itemRef;
  }
  if (command) {
    RunHandlers(command, kBegin);
    RunHandlers(command, kEnd);
  } else if (handler) {
    handler(menuRef, itemRef);
  }
  return true;
}

int AddPlugin(const std::string &signature, bool enabled) {
  std::lock_guard<std::mutex> l(gLock);
  gPlugins.push_back({signature, enabled, {}});
  return static_cast<int>(gPlugins.size());
}

void SetPluginEnabled(const std::string &signature, bool enabled) {
  std::lock_guard<std::mutex> l(gLock);
  for (auto &p : gPlugins)
    if (p.signature == signature) p.enabled = enabled;
}

void HoldCamera(bool held) {
  if (held) XPLMControlCamera(xplm_ControlCameraForever, nullptr, nullptr);
  else XPLMDontControlCamera();
}

std::vector<int> IntWrites(const std::string &name) {
  std::lock_guard<std::mutex> l(gLock);
  DataRef *r = Named(name);
  return r ? r->intWrites : std::vector<int>{};
}

std::vector<std::string> MessagesTo(const std::string &signature) {
  std::lock_guard<std::mutex> l(gLock);
  for (const auto &p : gPlugins)
    if (p.signature == signature) return p.messages;
  return {};
}

std::vector<std::string> Registrations() {
  std::lock_guard<std::mutex> l(gLock);
  std::vector<std::string> out;
  for (const auto &[name, c] : gCommands)
    if (!c->handlers.empty()) out.push_back("a handler of command " + name);
  for (const auto &m : gMenus)
    if (m.get() != gMenus[0].get() && gLiveMenus.count(m.get())) out.push_back("menu " + m->name);
  for (const MenuItem &i : gMenus[0]->items)
    if (i.byPlugin) out.push_back("Plugins menu item " + i.name);
  for (const auto &[name, r] : gRefs)
    if (r->published) out.push_back("dataref " + name);
  if (!gLoops.empty()) out.push_back("a flight loop");
  return out;
}

void SetSystemPath(const std::string &path) {
  std::lock_guard<std::mutex> l(gLock);
  gSystemPath = path;
}
void SetPrefsPath(const std::string &path) {
  std::lock_guard<std::mutex> l(gLock);
  gPrefsPath = path;
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

// A plug-in that leaves anything registered would be called after X-Plane unloads it.
void Plugin::Stop() {
  stop_();
  for (const std::string &left : Registrations()) {
    std::lock_guard<std::mutex> l(gLock);
    FaultLocked("left registered after XPluginStop: " + left);
  }
}
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

// A published dataref's owner is called unlocked: its callbacks may call X-Plane themselves.
int XPLMGetDatai(XPLMDataRef inDataRef) {
  std::unique_lock<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDatai");
  DataRef *r = Typed(inDataRef, Type::Int, "XPLMGetDatai");
  if (r && r->published) {
    const Accessor a = r->acc;
    l.unlock();
    return a.gi ? a.gi(a.readRefcon) : 0;
  }
  return r ? r->i : 0;
}

float XPLMGetDataf(XPLMDataRef inDataRef) {
  std::unique_lock<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDataf");
  DataRef *r = Typed(inDataRef, Type::Float, "XPLMGetDataf");
  if (r && r->published) {
    const Accessor a = r->acc;
    l.unlock();
    return a.gf ? a.gf(a.readRefcon) : 0.0f;
  }
  return r ? r->f : 0.0f;
}

double XPLMGetDatad(XPLMDataRef inDataRef) {
  std::unique_lock<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDatad");
  DataRef *r = Typed(inDataRef, Type::Double, "XPLMGetDatad");
  if (r && r->published) {
    const Accessor a = r->acc;
    l.unlock();
    return a.gd ? a.gd(a.readRefcon) : 0.0;
  }
  return r ? r->d : 0.0;
}

void XPLMSetDatai(XPLMDataRef inDataRef, int inValue) {
  std::unique_lock<std::mutex> l(gLock);
  CheckThreadLocked("XPLMSetDatai");
  DataRef *r = Writable(inDataRef, Type::Int, "XPLMSetDatai");
  if (!r) return;
  r->intWrites.push_back(inValue);
  if (r->published) {
    const Accessor a = r->acc;
    l.unlock();
    if (a.si) a.si(a.writeRefcon, inValue);
    return;
  }
  r->i = inValue;
}

int XPLMGetDatavf(XPLMDataRef inDataRef, float *outValues, int inOffset, int inMax) {
  std::unique_lock<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetDatavf");
  DataRef *r = Typed(inDataRef, Type::FloatArray, "XPLMGetDatavf");
  if (!r || !r->published || !r->acc.gvf) return 0;
  const Accessor a = r->acc;
  l.unlock();
  return a.gvf(a.readRefcon, outValues, inOffset, inMax);
}

XPLMDataRef XPLMRegisterDataAccessor(const char *inDataName, XPLMDataTypeID inDataType, int inIsWritable,
                                     XPLMGetDatai_f inReadInt, XPLMSetDatai_f inWriteInt, XPLMGetDataf_f inReadFloat,
                                     XPLMSetDataf_f inWriteFloat, XPLMGetDatad_f inReadDouble, XPLMSetDatad_f,
                                     XPLMGetDatavi_f, XPLMSetDatavi_f, XPLMGetDatavf_f inReadFloatArray,
                                     XPLMSetDatavf_f, XPLMGetDatab_f inReadData, XPLMSetDatab_f, void *inReadRefcon,
                                     void *inWriteRefcon) {
  Type type;
  if (inDataType & xplmType_Int) type = Type::Int;
  else if (inDataType & xplmType_Float) type = Type::Float;
  else if (inDataType & xplmType_Double) type = Type::Double;
  else if (inDataType & xplmType_FloatArray) type = Type::FloatArray;
  else type = Type::Bytes;
  {
    std::lock_guard<std::mutex> l(gLock);
    CheckThreadLocked("XPLMRegisterDataAccessor");
    if (!inDataName || !*inDataName) {
      FaultLocked("XPLMRegisterDataAccessor without a name");
      return nullptr;
    }
    if (Named(inDataName)) FaultLocked(std::string("dataref ") + inDataName + " registered twice");
  }
  DataRef &r = Publish(inDataName, type, inIsWritable != 0);
  std::lock_guard<std::mutex> l(gLock);
  r.published = true;
  r.acc = {inReadInt, inWriteInt, inReadFloat, inWriteFloat, inReadDouble, inReadFloatArray, inReadData, inReadRefcon,
           inWriteRefcon};
  return &r;
}

void XPLMUnregisterDataAccessor(XPLMDataRef inDataRef) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMUnregisterDataAccessor");
  DataRef *r = Lookup(inDataRef, "XPLMUnregisterDataAccessor");
  if (!r) return;
  if (!r->published) {
    FaultLocked("XPLMUnregisterDataAccessor on X-Plane's own dataref " + r->name);
    return;
  }
  auto it = gRefs.find(r->name);
  gLive.erase(r);
  gRetired.push_back(std::move(it->second));
  gRefs.erase(it);
}

XPLMCommandRef XPLMCreateCommand(const char *inName, const char *inDescription) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMCreateCommand");
  if (!inName) return nullptr;
  auto &slot = gCommands[inName];
  if (!slot) {
    slot = std::make_unique<Command>();
    slot->name = inName;
    slot->description = inDescription ? inDescription : "";
  }
  return slot.get();
}

XPLMCommandRef XPLMFindCommand(const char *inName) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMFindCommand");
  auto it = inName ? gCommands.find(inName) : gCommands.end();
  return it == gCommands.end() ? nullptr : it->second.get();
}

void XPLMRegisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler, int inBefore,
                                void *inRefcon) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMRegisterCommandHandler");
  if (Command *c = CommandOf(inComand, "XPLMRegisterCommandHandler"))
    c->handlers.push_back({inHandler, inBefore, inRefcon});
}

void XPLMUnregisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler, int inBefore,
                                  void *inRefcon) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMUnregisterCommandHandler");
  Command *c = CommandOf(inComand, "XPLMUnregisterCommandHandler");
  if (!c) return;
  auto &h = c->handlers;
  auto it = std::find_if(h.begin(), h.end(), [&](const Command::Handler &x) {
    return x.fn == inHandler && x.before == inBefore && x.refcon == inRefcon;
  });
  if (it != h.end()) h.erase(it);
}

XPLMMenuID XPLMFindPluginsMenu(void) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMFindPluginsMenu");
  return gMenus[0].get();
}

XPLMMenuID XPLMCreateMenu(const char *inName, XPLMMenuID inParentMenu, int inParentItem, XPLMMenuHandler_f inHandler,
                          void *inMenuRef) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMCreateMenu");
  if (!inName || !*inName) {
    FaultLocked("XPLMCreateMenu with an empty name");
    return nullptr;
  }
  MenuItem *parent = inParentMenu ? ItemOf(inParentMenu, inParentItem, "XPLMCreateMenu") : nullptr;
  if (inParentMenu && !parent) return nullptr;
  gMenus.push_back(std::make_unique<Menu>());
  Menu *m = gMenus.back().get();
  m->name = inName;
  m->handler = inHandler;
  m->menuRef = inMenuRef;
  gLiveMenus.insert(m);
  if (parent) parent->submenu = m;
  return m;
}

void XPLMDestroyMenu(XPLMMenuID inMenuID) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMDestroyMenu");
  if (Menu *m = MenuOf(inMenuID, "XPLMDestroyMenu")) gLiveMenus.erase(m);
}

int XPLMAppendMenuItem(XPLMMenuID inMenu, const char *inItemName, void *inItemRef, int) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMAppendMenuItem");
  Menu *m = MenuOf(inMenu, "XPLMAppendMenuItem");
  if (!m) return -1;
  m->items.push_back({});
  m->items.back().name = inItemName ? inItemName : "";
  m->items.back().itemRef = inItemRef;
  return static_cast<int>(m->items.size()) - 1;
}

int XPLMAppendMenuItemWithCommand(XPLMMenuID inMenu, const char *inItemName, XPLMCommandRef inCommandToExecute) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMAppendMenuItemWithCommand");
  Menu *m = MenuOf(inMenu, "XPLMAppendMenuItemWithCommand");
  Command *c = CommandOf(inCommandToExecute, "XPLMAppendMenuItemWithCommand");
  if (!m) return -1;
  m->items.push_back({});
  m->items.back().name = inItemName ? inItemName : "";
  m->items.back().command = c;
  return static_cast<int>(m->items.size()) - 1;
}

void XPLMAppendMenuSeparator(XPLMMenuID inMenu) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMAppendMenuSeparator");
  if (Menu *m = MenuOf(inMenu, "XPLMAppendMenuSeparator")) {
    m->items.push_back({});
    m->items.back().separator = true;
  }
}

void XPLMSetMenuItemName(XPLMMenuID inMenu, int inIndex, const char *inItemName, int) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMSetMenuItemName");
  if (MenuItem *i = ItemOf(inMenu, inIndex, "XPLMSetMenuItemName")) i->name = inItemName ? inItemName : "";
}

void XPLMCheckMenuItem(XPLMMenuID inMenu, int index, XPLMMenuCheck inCheck) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMCheckMenuItem");
  if (MenuItem *i = ItemOf(inMenu, index, "XPLMCheckMenuItem")) i->check = inCheck;
}

void XPLMEnableMenuItem(XPLMMenuID inMenu, int index, int enabled) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMEnableMenuItem");
  if (MenuItem *i = ItemOf(inMenu, index, "XPLMEnableMenuItem")) i->enabled = enabled != 0;
}

void XPLMRemoveMenuItem(XPLMMenuID inMenu, int inIndex) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMRemoveMenuItem");
  if (ItemOf(inMenu, inIndex, "XPLMRemoveMenuItem")) {
    Menu *m = static_cast<Menu *>(inMenu);
    m->items.erase(m->items.begin() + inIndex);
  }
}

XPLMPluginID XPLMFindPluginBySignature(const char *inSignature) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMFindPluginBySignature");
  for (size_t i = 0; inSignature && i < gPlugins.size(); ++i)
    if (gPlugins[i].signature == inSignature) return static_cast<XPLMPluginID>(i + 1);
  return XPLM_NO_PLUGIN_ID;
}

int XPLMIsPluginEnabled(XPLMPluginID inPluginID) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMIsPluginEnabled");
  return inPluginID >= 1 && static_cast<size_t>(inPluginID) <= gPlugins.size() && gPlugins[inPluginID - 1].enabled;
}

void XPLMControlCamera(int inHowLong, void *, void *) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMControlCamera");
  gCameraHeld = inHowLong;
}

void XPLMDontControlCamera(void) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMDontControlCamera");
  gCameraHeld = 0;
}

int XPLMIsCameraBeingControlled(XPLMCameraControlDuration *outCameraControlDuration) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMIsCameraBeingControlled");
  if (outCameraControlDuration) *outCameraControlDuration = gCameraHeld;
  return gCameraHeld != 0;
}

void XPLMSendMessageToPlugin(XPLMPluginID inPlugin, int inMessage, void *inParam) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMSendMessageToPlugin");
  if (inPlugin < 1 || static_cast<size_t>(inPlugin) > gPlugins.size()) {
    FaultLocked("XPLMSendMessageToPlugin to an unknown plug-in");
    return;
  }
  std::string text = std::to_string(inMessage);
  if (inMessage == 0x01000000 && inParam) text += std::string(" ") + static_cast<const char *>(inParam);
  gPlugins[inPlugin - 1].messages.push_back(text);
}

void XPLMSetDataf(XPLMDataRef inDataRef, float inValue) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMSetDataf");
  if (DataRef *r = Writable(inDataRef, Type::Float, "XPLMSetDataf")) r->f = inValue;
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

void XPLMGetPrefsPath(char *outPrefsPath) {
  std::lock_guard<std::mutex> l(gLock);
  CheckThreadLocked("XPLMGetPrefsPath");
  const std::string path = gPrefsPath.empty() ? gSystemPath + "Output/preferences/X-Plane.prf" : gPrefsPath;
  std::snprintf(outPrefsPath, 512, "%s", path.c_str());
}

const char *XPLMGetDirectorySeparator(void) {
#if defined(_WIN32)
  return "\\";
#else
  return "/";
#endif
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
