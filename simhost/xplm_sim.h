// Our simulated X-Plane: the XPLM functions the plug-in calls, over a table of typed datarefs that a
// scenario publishes, omits and reads back, plus the loader that runs the real .xpl frame by frame.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace simxp {

enum class Type { Int, Float, Double, Bytes, FloatArray };

// Forgets every dataref, log line, fault, flight loop and setting, and makes the calling thread the
// simulator's main thread: XPLM calls from any other thread are recorded as faults.
void Reset();

void PublishInt(const std::string &name, int value, bool writable = false);
void PublishFloat(const std::string &name, float value, bool writable = false);
void PublishDouble(const std::string &name, double value, bool writable = false);
void PublishBytes(const std::string &name, const std::string &bytes);
// Removes a dataref, so XPLMFindDataRef no longer finds it. Only before the plug-in looks it up.
void Omit(const std::string &name);

bool Has(const std::string &name);
int GetInt(const std::string &name);
float GetFloat(const std::string &name);
double GetDouble(const std::string &name);
void SetInt(const std::string &name, int value);
void SetFloat(const std::string &name, float value);
void SetDouble(const std::string &name, double value);
void SetBytes(const std::string &name, const std::string &bytes);
// XPLMSetDataf calls the plug-in made on this dataref.
uint64_t WriteCount(const std::string &name);
uint64_t TotalWrites();

// The folder XPLMGetSystemPath reports; it should end in a separator, as X-Plane's does.
void SetSystemPath(const std::string &path);
bool FeatureEnabled(const std::string &feature);
// The file XPLMGetPrefsPath reports; by default "Output/preferences/X-Plane.prf" under the system path.
void SetPrefsPath(const std::string &path);

// Whether XPLMFindSymbol offers "XPLMGetMETARForAirport", and what it answers per airport.
void SetMetarFunction(bool present);
void SetMetar(const std::string &ident, const std::string &text);
// Fills all 150 bytes for that airport without a terminating NUL, as a careless sim might.
void SetMetarUnterminated(const std::string &ident, char fill);
std::vector<std::string> MetarRequests();
// Answers METAR requests for airports without a text of their own (none: empty, "no report").
void SetMetarSource(std::function<std::string(const std::string &)> source);

// Every complete log line, without its line feed, and the number of XPLMDebugString calls.
std::vector<std::string> LogLines();
std::string LogText();
uint64_t DebugStringCalls();
// Copies each log line to standard output as it completes, after the prefix.
void EchoLog(bool on, const std::string &prefix = "");

// Calls the host saw that X-Plane would not allow: off the main thread, unknown handles, wrong types.
std::vector<std::string> Faults();

// Flight loops the plug-in registered and not unregistered.
size_t RegisteredFlightLoops();
// Runs one simulator frame: every registered flight loop is called with this elapsed time.
void RunFrame(float elapsed);
uint64_t FramesRun();

// ---- Commands, menus, published datarefs and the other plug-ins X-Plane has loaded.

enum CommandPhase { kBegin = 0, kContinue = 1, kEnd = 2 };
// Runs one phase of a command as a key or a joystick button does: the handlers registered "before"
// first, then the others; a handler that answers 0 stops the rest. False when no command has the name.
bool RunCommand(const std::string &name, int phase);
// A press and release at once, as a menu item with a command does.
bool CommandOnce(const std::string &name);
std::string CommandDescription(const std::string &name);

struct MenuEntry {
  std::string name;
  int check = 0;  // 0 none, 1 unchecked, 2 checked
  bool enabled = true;
  bool separator = false;
  std::string command;  // the command the item runs, if any
  bool submenu = false;
};
// The items of the live menu of that name ("Plugins" is X-Plane's own); empty when there is none.
std::vector<MenuEntry> MenuItems(const std::string &menu);
// The Plugins menu with every submenu, one item a line, as X-Plane shows it.
std::string MenuText();
// Chooses an item: its command runs once, or the menu's handler is called. False when there is none.
bool ChooseMenuItem(const std::string &menu, const std::string &item);

// Reads a float array dataref through X-Plane's call, with any arguments (out may be null).
int GetFloats(const std::string &name, float *out, int offset, int max);

// Another plug-in that X-Plane has loaded, found by its signature; its id.
int AddPlugin(const std::string &signature, bool enabled = true);
void SetPluginEnabled(const std::string &signature, bool enabled);
// Another plug-in takes the camera (XPLMControlCamera) or gives it back (XPLMDontControlCamera).
void HoldCamera(bool held);
// The values XPLMSetDatai wrote to an int dataref, in order.
std::vector<int> IntWrites(const std::string &name);
// Messages sent to that plug-in: the number, and the text when the parameter names a dataref.
std::vector<std::string> MessagesTo(const std::string &signature);

// What a plug-in still has registered with X-Plane: command handlers, menus and menu items, published
// datarefs, flight loops. The host checks it is empty after XPluginStop.
std::vector<std::string> Registrations();

// Publishes every dataref a full X-Plane 12 offers the plug-in, with plausible values for an
// aircraft on the ground; eye point (0.1, 0.8, -0.4).
void PublishStandardAircraft();

// Names of the dataref groups a scenario can leave out one by one.
extern const std::vector<std::string> kHeadRefs;
extern const std::vector<std::string> kEyeRefs;
extern const std::vector<std::string> kFlightRefs;
extern const std::vector<std::string> kWeatherRefs;
extern const std::vector<std::string> kFlightStateRefs;
extern const char *const kTrackRef;
extern const char *const kViewTypeRef;

// The real plug-in, loaded with dlopen and driven through its five entry points.
class Plugin {
 public:
  Plugin() = default;
  Plugin(const Plugin &) = delete;
  Plugin &operator=(const Plugin &) = delete;
  ~Plugin();

  // Loads the .xpl; false with error() set when it cannot be loaded or lacks an entry point.
  bool Load(const std::string &path);
  // Unloads it and reports whether the library really left the process.
  bool Unload();
  bool Loaded() const { return handle_ != nullptr; }
  const std::string &Error() const { return error_; }

  int Start();
  void Stop();
  int Enable();
  void Disable();
  void Message(int from, int message, void *param);

  const std::string &Name() const { return name_; }
  const std::string &Signature() const { return signature_; }
  const std::string &Description() const { return description_; }

 private:
  template <typename Find>
  bool FindEntryPoints(Find find);

  void *handle_ = nullptr;
  std::string path_;
  std::string error_;
  std::string name_, signature_, description_;
  int (*start_)(char *, char *, char *) = nullptr;
  void (*stop_)() = nullptr;
  int (*enable_)() = nullptr;
  void (*disable_)() = nullptr;
  void (*message_)(int, int, void *) = nullptr;
};

// The plug-in built next to this host, at <build>/TAVRO/lin_x64/TAVRO.xpl, unless CVHT_XPL names another.
std::string DefaultPluginPath();

}  // namespace simxp
