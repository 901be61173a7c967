// cvht-xphost: runs the real TAVRO.xpl in our simulated X-Plane at a steady frame rate and shows
// the plug-in's log and the pilot's head as it moves.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "xplm_sim.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

void Usage() {
  std::fprintf(stderr,
               "usage: cvht-xphost [--xpl PATH] [--system-path DIR] [--seconds N] [--fps N] [--quiet]\n"
               "Loads the plug-in, starts it, runs frames in real time and stops it (Ctrl-C ends early).\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::string xpl = simxp::DefaultPluginPath();
  std::string systemPath = "/nonexistent/";
  double seconds = 10.0;
  int fps = 60;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char * {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--xpl") xpl = next();
    else if (a == "--system-path") systemPath = next();
    else if (a == "--seconds") seconds = std::atof(next());
    else if (a == "--fps") fps = std::atoi(next());
    else if (a == "--quiet") quiet = true;
    else {
      Usage();
      return 2;
    }
  }
  if (fps <= 0 || fps > 1000 || !(seconds >= 0)) {
    Usage();
    return 2;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  simxp::Reset();
  simxp::EchoLog(true);
  simxp::PublishStandardAircraft();
  if (!systemPath.empty() && systemPath.back() != '/') systemPath += '/';
  simxp::SetSystemPath(systemPath);

  simxp::Plugin plugin;
  if (!plugin.Load(xpl)) {
    std::fprintf(stderr, "cvht-xphost: cannot load %s: %s\n", xpl.c_str(), plugin.Error().c_str());
    return 1;
  }
  if (!plugin.Start()) {
    std::fprintf(stderr, "cvht-xphost: the plug-in refused to start\n");
    plugin.Unload();
    return 1;
  }
  plugin.Enable();

  const float dt = 1.0f / static_cast<float>(fps);
  const auto period = std::chrono::duration<double>(1.0 / fps);
  auto next = std::chrono::steady_clock::now();
  const long frames = static_cast<long>(seconds * fps);
  for (long f = 0; f < frames && !gStop; ++f) {
    simxp::RunFrame(dt);
    if (!quiet && f % fps == 0) {
      std::fprintf(stderr, "head x=%+.3f y=%+.3f z=%+.3f psi=%+6.1f the=%+6.1f phi=%+6.1f\n",
                   simxp::GetFloat(simxp::kHeadRefs[0]), simxp::GetFloat(simxp::kHeadRefs[1]),
                   simxp::GetFloat(simxp::kHeadRefs[2]), simxp::GetFloat(simxp::kHeadRefs[3]),
                   simxp::GetFloat(simxp::kHeadRefs[4]), simxp::GetFloat(simxp::kHeadRefs[5]));
    }
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
    std::this_thread::sleep_until(next);
  }
  plugin.Disable();
  plugin.Stop();
  bool gone = plugin.Unload();
  int faults = 0;
  for (const auto &f : simxp::Faults()) {
    std::fprintf(stderr, "cvht-xphost: fault: %s\n", f.c_str());
    ++faults;
  }
  if (!gone) std::fprintf(stderr, "cvht-xphost: the plug-in did not unload\n");
  return faults == 0 && gone ? 0 : 1;
}
