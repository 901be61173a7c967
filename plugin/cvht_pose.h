// Head-pose tuning and arithmetic: mirror, scale and limit each axis, and cross-fade between the
// neutral view and the tracked pose. No X-Plane and no sockets here, so tests and tools share it.
#pragma once

#include <cmath>

namespace cvht {

// Signs mirror the phone's camera frame into X-Plane's head frame.
constexpr float kSignX = +1.0f, kSignY = +1.0f, kSignZ = -1.0f;
constexpr float kSignYaw = +1.0f, kSignPitch = -1.0f, kSignRoll = -1.0f;
// Gains: a small head movement gives a useful look around the cockpit.
constexpr float kGainTrans = 1.0f, kGainY = 2.0f, kGainYaw = 2.5f, kGainPitch = 2.0f, kGainRoll = 1.0f;
constexpr float kLimitTransM = 0.35f, kLimitDeg = 80.0f;

// The pose holds full weight this long after the last fresh packet, then fades out.
constexpr float kHoldSec = 0.15f;
constexpr float kTargetFallPerSec = 2.0f;
constexpr float kBlendRiseSec = 0.3f;  // 0 to 1
constexpr float kBlendFallPerSec = 2.0f;

constexpr float kDefaultDt = 1.0f / 60.0f;

// A non-finite input contributes nothing, so that axis stays neutral; infinities after the gain
// are caught by the limit.
inline float Limit(float v, float limit) {
  if (std::isnan(v)) return 0.0f;
  if (v > limit) return limit;
  if (v < -limit) return -limit;
  return v;
}

inline float AxisOffset(float field, float sign, float gain, float limit) {
  if (!std::isfinite(field)) return 0.0f;
  return Limit(sign * gain * field, limit);
}

// Weight the view should have, t seconds after the last fresh packet.
inline float TargetWeight(float t) {
  if (t <= kHoldSec) return 1.0f;
  float w = 1.0f - kTargetFallPerSec * (t - kHoldSec);
  if (w < 0.0f) return 0.0f;
  if (w > 1.0f) return 1.0f;
  return w;
}

// Rises at 1/0.3 per second and falls at 2 per second towards the target, never past it.
inline float StepBlend(float blend, float target, float dt) {
  if (target > blend) {
    float up = blend + dt / kBlendRiseSec;
    return up < target ? up : target;
  }
  float down = blend - kBlendFallPerSec * dt;
  return down > target ? down : target;
}

// X-Plane's elapsed time, or one 60 Hz frame when it is not a usable positive number.
inline float FrameInterval(float elapsed) {
  return (elapsed > 0.0f && std::isfinite(elapsed)) ? elapsed : kDefaultDt;
}

}  // namespace cvht
