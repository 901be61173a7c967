// SDK-shaped stand-in for X-Plane's XPLMProcessing.h: the flight-loop callback.
#ifndef _XPLMProcessing_h_
#define _XPLMProcessing_h_
#include "XPLMDefs.h"
extern "C" {
typedef float (*XPLMFlightLoop_f)(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                  int inCounter, void *inRefcon);
XPLM_API void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval, void *inRefcon);
XPLM_API void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void *inRefcon);
}
#endif
