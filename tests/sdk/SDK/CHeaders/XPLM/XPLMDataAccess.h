// SDK-shaped stand-in for X-Plane's XPLMDataAccess.h: dataref look-up and access.
#pragma once
#include "XPLMDefs.h"
extern "C" {
typedef void *XPLMDataRef;
XPLM_API XPLMDataRef XPLMFindDataRef(const char *inDataRefName);
XPLM_API int XPLMGetDatai(XPLMDataRef inDataRef);
XPLM_API float XPLMGetDataf(XPLMDataRef inDataRef);
XPLM_API double XPLMGetDatad(XPLMDataRef inDataRef);
XPLM_API void XPLMSetDataf(XPLMDataRef inDataRef, float inValue);
XPLM_API int XPLMGetDatab(XPLMDataRef inDataRef, void *outValue, int inOffset, int inMaxBytes);
}
