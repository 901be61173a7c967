// One session of the real plug-in in our simulated X-Plane: a fresh host, the .xpl loaded and started, frames
// until its airport scan has reported, then stopped and unloaded. The stepped host, the benchmarks, the fuzz
// targets and the tests all host the plug-in through it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "xplm_sim.h"

namespace simxp {

constexpr float kFrameDt = 1.0f / 60.0f;

// The log lines that begin with "CVHT: " and this text.
std::vector<std::string> PluginLines(const std::string &text);

class Session {
 public:
  Session() = default;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session() { Close(); }

  // A fresh host: every setting forgotten, the standard aircraft without the omitted datarefs, X-Plane's folder
  // at systemPath (a separator added when it lacks one). A plug-in already loaded stays loaded.
  static void FreshHost(const std::string &systemPath, const std::vector<std::string> &omit = {});
  // Closes what was open, makes a fresh host and loads the .xpl into it; false, with Error() set, when it cannot.
  bool Open(const std::string &systemPath, const std::vector<std::string> &omit = {},
            const std::string &xpl = DefaultPluginPath());
  // XPluginStart's answer.
  int Start();
  // Runs frames, pauseMs apart, until n log lines begin with "CVHT: " and this text, `frames` at most; those lines.
  std::vector<std::string> AwaitLines(const std::string &text, size_t n = 1, int frames = 2000, int pauseMs = 5);
  // The scan's result line ("CVHT: apt.dat ..."), or "" when it did not come within the frames.
  std::string AwaitScan(int frames = 2000, int pauseMs = 5);
  void Stop();
  // Stops, then unloads; whether the library left the process.
  bool Close();

  Plugin &plugin() { return plugin_; }
  const std::string &Error() const { return error_; }
  // How AwaitLines runs one frame; a test reads its phone there too.
  std::function<void()> frame = [] { RunFrame(kFrameDt); };

 private:
  Plugin plugin_;
  bool started_ = false;
  std::string error_;
};

}  // namespace simxp
