// SDK-shaped stand-in for X-Plane's XPLMUtilities.h: the log, the system path, symbols, features and commands.
#pragma once
#include "XPLMDefs.h"
extern "C" {
XPLM_API void XPLMDebugString(const char *inString);
XPLM_API void XPLMGetSystemPath(char *outSystemPath);
XPLM_API void XPLMGetPrefsPath(char *outPrefsPath);
XPLM_API const char *XPLMGetDirectorySeparator(void);
#if defined(XPLM200)
XPLM_API void *XPLMFindSymbol(const char *inString);
XPLM_API void XPLMEnableFeature(const char *inFeature, int inEnable);
typedef void *XPLMCommandRef;
enum { xplm_CommandBegin = 0, xplm_CommandContinue = 1, xplm_CommandEnd = 2 };
typedef int XPLMCommandPhase;
typedef int (*XPLMCommandCallback_f)(XPLMCommandRef inCommand, XPLMCommandPhase inPhase, void *inRefcon);
XPLM_API XPLMCommandRef XPLMCreateCommand(const char *inName, const char *inDescription);
XPLM_API void XPLMRegisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler, int inBefore,
                                         void *inRefcon);
XPLM_API void XPLMUnregisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler, int inBefore,
                                           void *inRefcon);
#endif
}
