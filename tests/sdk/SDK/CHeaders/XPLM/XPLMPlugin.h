// SDK-shaped stand-in for X-Plane's XPLMPlugin.h: other plug-ins, and the message X-Plane sends when an aircraft loads.
#pragma once
#include "XPLMDefs.h"
#define XPLM_MSG_PLANE_LOADED 102
extern "C" {
XPLM_API XPLMPluginID XPLMFindPluginBySignature(const char *inSignature);
XPLM_API void XPLMSendMessageToPlugin(XPLMPluginID inPlugin, int inMessage, void *inParam);
XPLM_API int XPLMIsPluginEnabled(XPLMPluginID inPluginID);
}
