// SDK-shaped stand-in for X-Plane's XPLMDefs.h: the platform check, the import macro and the types the plug-in uses.
#pragma once
#if (APL + IBM + LIN) != 1
#error "Define exactly one of APL, IBM, LIN as 1"
#endif
#define XPLM_API __attribute__((visibility("default")))
typedef int XPLMPluginID;
#define XPLM_NO_PLUGIN_ID (-1)
#if defined(XPLM400)
typedef struct {
  char buffer[150];
} XPLMFixedString150_t;
#endif
