// What the plug-in benchmarks share: the real TAVRO.xpl started in a fresh simulated host, and the
// phone's pose packets.
#pragma once

#include <string>

#include <benchmark/benchmark.h>

#include "../tests/support/loopback_phone.h"
#include "xplm_sim.h"

namespace cvhtbench {

// Loads and starts the plug-in with no apt.dat to index, so the scan thread is done at once; false, with
// the benchmark marked as skipped, when it cannot start.
inline bool StartPlugin(simxp::Plugin &plugin, benchmark::State &state) {
  simxp::Reset();
  simxp::PublishStandardAircraft();
  simxp::SetSystemPath("/nonexistent/");
  if (!plugin.Load(simxp::DefaultPluginPath()) || plugin.Start() != 1) {
    state.SkipWithError("the plug-in did not start (is UDP 49707 free?)");
    return false;
  }
  return true;
}

// A tracking pose whose yaw moves with the sequence number, so every frame has a new target.
inline std::string StreamPose(uint32_t seq) {
  return cvhtphone::PoseBytes(seq, {0.01f, 0.0f, 0.0f, 10.0f + static_cast<float>(seq % 50), 0.0f, 0.0f});
}

}  // namespace cvhtbench
