// SDK-shaped stand-in for X-Plane's XPLMDefs.h, written from our interface notes: the platform check,
// the export macros and the types the plug-in uses.
#ifndef _XPLMDefs_h_
#define _XPLMDefs_h_

#if (APL + IBM + LIN) != 1
#error "Define exactly one of APL, IBM, LIN as 1"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if IBM
#define XPLM_API __declspec(dllimport)
#ifdef __cplusplus
#define PLUGIN_API extern "C" __declspec(dllexport)
#else
#define PLUGIN_API __declspec(dllexport)
#endif
#else
#define XPLM_API __attribute__((visibility("default")))
#ifdef __cplusplus
#define PLUGIN_API extern "C" __attribute__((visibility("default")))
#else
#define PLUGIN_API __attribute__((visibility("default")))
#endif
#endif

typedef int XPLMPluginID;

#if defined(XPLM400)
typedef struct {
  char buffer[150];
} XPLMFixedString150_t;
#endif

#ifdef __cplusplus
}
#endif
#endif
