// SDK-shaped stand-in for X-Plane's XPLMUtilities.h: the log, the system path, symbols and features.
#pragma once
#include "XPLMDefs.h"
extern "C" {
XPLM_API void XPLMDebugString(const char *inString);
XPLM_API void XPLMGetSystemPath(char *outSystemPath);
#if defined(XPLM200)
XPLM_API void *XPLMFindSymbol(const char *inString);
XPLM_API void XPLMEnableFeature(const char *inFeature, int inEnable);
#endif
}
