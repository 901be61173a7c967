// The real plug-in hosted for one session in our simulated X-Plane.
#include "hosted_session.h"

#include <chrono>
#include <thread>

namespace simxp {

std::vector<std::string> PluginLines(const std::string &text) {
  std::vector<std::string> out;
  for (const auto &l : LogLines())
    if (l.rfind("CVHT: " + text, 0) == 0) out.push_back(l);
  return out;
}

void Session::FreshHost(const std::string &systemPath, const std::vector<std::string> &omit) {
  Reset();
  PublishStandardAircraft();
  const bool separated = systemPath.empty() || systemPath.back() == '/' || systemPath.back() == '\\';
  SetSystemPath(separated ? systemPath : systemPath + "/");
  for (const auto &name : omit) Omit(name);
}

bool Session::Open(const std::string &systemPath, const std::vector<std::string> &omit, const std::string &xpl) {
  error_.clear();
  if (!Close()) {
    error_ = "the plug-in stayed in the process after unload";
    return false;
  }
  FreshHost(systemPath, omit);
  if (plugin_.Load(xpl)) return true;
  error_ = "cannot load " + xpl + ": " + plugin_.Error();
  return false;
}

int Session::Start() {
  const int r = plugin_.Start();
  started_ = r == 1;
  return r;
}

std::vector<std::string> Session::AwaitLines(const std::string &text, size_t n, int frames, int pauseMs) {
  for (int i = 0; i < frames && PluginLines(text).size() < n; ++i) {
    frame();
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return PluginLines(text);
}

std::string Session::AwaitScan(int frames, int pauseMs) {
  const auto lines = AwaitLines("apt.dat ", 1, frames, pauseMs);
  return lines.empty() ? "" : lines.front();
}

void Session::Stop() {
  if (started_) plugin_.Stop();
  started_ = false;
}

bool Session::Close() {
  Stop();
  return plugin_.Unload();
}

}  // namespace simxp
