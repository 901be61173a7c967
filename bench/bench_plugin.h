// What the plug-in benchmarks share: the real TAVRO.xpl hosted in a fresh simulated X-Plane, and the
// phone's pose packets.
#pragma once

#include <string>

#include <benchmark/benchmark.h>

#include "hosted_session.h"
#include "phone_link.h"

namespace cvhtbench {

// Opens and starts the plug-in with no apt.dat to index, and waits for the scan's line, so the scan thread
// is done; false, with the benchmark marked as skipped, when it cannot start.
inline bool StartPlugin(simxp::Session &session, benchmark::State &state) {
  if (!session.Open("/nonexistent/") || session.Start() != 1 || session.AwaitScan().empty()) {
    state.SkipWithError("the plug-in did not start (is UDP 49707 free?)");
    return false;
  }
  return true;
}

// A tracking pose whose yaw moves with the sequence number, so every frame has a new target.
inline std::string StreamPose(uint32_t seq) {
  return phone::PoseBytes(seq, seq, {0.01f, 0.0f, 0.0f, 10.0f + static_cast<float>(seq % 50), 0.0f, 0.0f});
}

}  // namespace cvhtbench
