// SDK-shaped stand-in for X-Plane's XPLMPlugin.h: the message X-Plane sends when an aircraft loads.
#pragma once
#include "XPLMDefs.h"
#define XPLM_MSG_PLANE_LOADED 102
