// SDK-shaped stand-in for X-Plane's XPLMCamera.h: whether a plug-in holds the camera.
#pragma once
#include "XPLMDefs.h"
extern "C" {
enum { xplm_ControlCameraUntilViewChanges = 1, xplm_ControlCameraForever = 2 };
typedef int XPLMCameraControlDuration;
XPLM_API int XPLMIsCameraBeingControlled(XPLMCameraControlDuration *outCameraControlDuration);
}
