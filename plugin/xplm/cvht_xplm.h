// X-Plane's plug-in interface as the plug-in uses it: X-Plane's published C declarations, so the same
// .xpl loads in a real X-Plane 12 (its XPLM library resolves them at load time) and in our simulated host.
#pragma once

#if defined(CVHT_REAL_XPLM_SDK)
#include <XPLMDataAccess.h>
#include <XPLMDefs.h>
#include <XPLMPlugin.h>
#include <XPLMProcessing.h>
#include <XPLMUtilities.h>
#else

#if defined(_WIN32)
#define CVHT_XPLM_API  // imported from XPLM_64.dll through its import library
#elif defined(__GNUC__)
#define CVHT_XPLM_API __attribute__((visibility("default")))
#else
#define CVHT_XPLM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void *XPLMDataRef;  // opaque; NULL = not published
typedef int XPLMPluginID;
typedef float (*XPLMFlightLoop_f)(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                  int inCounter, void *inRefcon);
typedef struct {
  char buffer[150];
} XPLMFixedString150_t;  // METAR out-buffer

#define XPLM_MSG_PLANE_LOADED 102  // param: aircraft index as a pointer-sized value, 0 = user

CVHT_XPLM_API void XPLMDebugString(const char *inString);
CVHT_XPLM_API void XPLMEnableFeature(const char *inFeature, int inEnable);
CVHT_XPLM_API XPLMDataRef XPLMFindDataRef(const char *inDataRefName);
CVHT_XPLM_API int XPLMGetDatai(XPLMDataRef inDataRef);
CVHT_XPLM_API float XPLMGetDataf(XPLMDataRef inDataRef);
CVHT_XPLM_API double XPLMGetDatad(XPLMDataRef inDataRef);
CVHT_XPLM_API void XPLMSetDataf(XPLMDataRef inDataRef, float inValue);
CVHT_XPLM_API int XPLMGetDatab(XPLMDataRef inDataRef, void *outValue, int inOffset, int inMaxBytes);
CVHT_XPLM_API void *XPLMFindSymbol(const char *inString);
CVHT_XPLM_API void XPLMGetSystemPath(char *outSystemPath);  // caller's buffer of 512 bytes
CVHT_XPLM_API void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval, void *inRefcon);
CVHT_XPLM_API void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void *inRefcon);

#ifdef __cplusplus
}
#endif

#endif  // CVHT_REAL_XPLM_SDK

// Called by X-Plane through the address that XPLMFindSymbol("XPLMGetMETARForAirport") returns.
typedef void (*CVHT_GetMETARForAirport_f)(const char *airport_id, XPLMFixedString150_t *outMETAR);

#if defined(_WIN32)
#define CVHT_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#elif defined(__GNUC__)
#define CVHT_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define CVHT_PLUGIN_EXPORT extern "C"
#endif
