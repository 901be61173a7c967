// SDK-shaped stand-in for X-Plane's XPLMPlugin.h: the messages X-Plane sends to plug-ins.
#ifndef _XPLMPlugin_h_
#define _XPLMPlugin_h_
#include "XPLMDefs.h"

#define XPLM_MSG_PLANE_LOADED 102

#endif
