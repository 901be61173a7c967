// X-Plane's plug-in interface as the plug-in uses it: X-Plane's published C declarations, so the same
// .xpl loads in a real X-Plane 12 (its XPLM library resolves them at load time) and in our simulated host.
#pragma once

#if defined(CVHT_REAL_XPLM_SDK)
#include <XPLMCamera.h>
#include <XPLMDataAccess.h>
#include <XPLMDefs.h>
#include <XPLMMenus.h>
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
#define XPLM_NO_PLUGIN_ID (-1)

typedef void *XPLMCommandRef;
typedef int XPLMCommandPhase;
enum { xplm_CommandBegin = 0, xplm_CommandContinue = 1, xplm_CommandEnd = 2 };
typedef int (*XPLMCommandCallback_f)(XPLMCommandRef inCommand, XPLMCommandPhase inPhase, void *inRefcon);

typedef void *XPLMMenuID;
typedef int XPLMMenuCheck;
enum { xplm_Menu_NoCheck = 0, xplm_Menu_Unchecked = 1, xplm_Menu_Checked = 2 };
typedef void (*XPLMMenuHandler_f)(void *inMenuRef, void *inItemRef);

typedef int XPLMCameraControlDuration;
enum { xplm_ControlCameraUntilViewChanges = 1, xplm_ControlCameraForever = 2 };

typedef int XPLMDataTypeID;
enum { xplmType_Int = 1, xplmType_Float = 2, xplmType_Double = 4, xplmType_FloatArray = 8, xplmType_IntArray = 16,
       xplmType_Data = 32 };
typedef int (*XPLMGetDatai_f)(void *inRefcon);
typedef void (*XPLMSetDatai_f)(void *inRefcon, int inValue);
typedef float (*XPLMGetDataf_f)(void *inRefcon);
typedef void (*XPLMSetDataf_f)(void *inRefcon, float inValue);
typedef double (*XPLMGetDatad_f)(void *inRefcon);
typedef void (*XPLMSetDatad_f)(void *inRefcon, double inValue);
typedef int (*XPLMGetDatavi_f)(void *inRefcon, int *outValues, int inOffset, int inMax);
typedef void (*XPLMSetDatavi_f)(void *inRefcon, int *inValues, int inOffset, int inCount);
typedef int (*XPLMGetDatavf_f)(void *inRefcon, float *outValues, int inOffset, int inMax);
typedef void (*XPLMSetDatavf_f)(void *inRefcon, float *inValues, int inOffset, int inCount);
typedef int (*XPLMGetDatab_f)(void *inRefcon, void *outValue, int inOffset, int inMaxLength);
typedef void (*XPLMSetDatab_f)(void *inRefcon, void *inValue, int inOffset, int inLength);

CVHT_XPLM_API void XPLMDebugString(const char *inString);
CVHT_XPLM_API void XPLMEnableFeature(const char *inFeature, int inEnable);
CVHT_XPLM_API XPLMDataRef XPLMFindDataRef(const char *inDataRefName);
CVHT_XPLM_API int XPLMGetDatai(XPLMDataRef inDataRef);
CVHT_XPLM_API float XPLMGetDataf(XPLMDataRef inDataRef);
CVHT_XPLM_API double XPLMGetDatad(XPLMDataRef inDataRef);
CVHT_XPLM_API void XPLMSetDataf(XPLMDataRef inDataRef, float inValue);
CVHT_XPLM_API void XPLMSetDatai(XPLMDataRef inDataRef, int inValue);
CVHT_XPLM_API int XPLMGetDatab(XPLMDataRef inDataRef, void *outValue, int inOffset, int inMaxBytes);
CVHT_XPLM_API void *XPLMFindSymbol(const char *inString);
CVHT_XPLM_API void XPLMGetSystemPath(char *outSystemPath);  // caller's buffer of 512 bytes
CVHT_XPLM_API void XPLMGetPrefsPath(char *outPrefsPath);    // a file in X-Plane's preferences folder; 512 bytes
CVHT_XPLM_API const char *XPLMGetDirectorySeparator(void);
CVHT_XPLM_API void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval, void *inRefcon);
CVHT_XPLM_API void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void *inRefcon);

CVHT_XPLM_API XPLMCommandRef XPLMCreateCommand(const char *inName, const char *inDescription);
CVHT_XPLM_API void XPLMRegisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler, int inBefore,
                                              void *inRefcon);
CVHT_XPLM_API void XPLMUnregisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler,
                                                int inBefore, void *inRefcon);

CVHT_XPLM_API XPLMMenuID XPLMFindPluginsMenu(void);
CVHT_XPLM_API XPLMMenuID XPLMCreateMenu(const char *inName, XPLMMenuID inParentMenu, int inParentItem,
                                        XPLMMenuHandler_f inHandler, void *inMenuRef);
CVHT_XPLM_API void XPLMDestroyMenu(XPLMMenuID inMenuID);
CVHT_XPLM_API int XPLMAppendMenuItem(XPLMMenuID inMenu, const char *inItemName, void *inItemRef,
                                     int inDeprecatedAndIgnored);
CVHT_XPLM_API int XPLMAppendMenuItemWithCommand(XPLMMenuID inMenu, const char *inItemName,
                                                XPLMCommandRef inCommandToExecute);
CVHT_XPLM_API void XPLMAppendMenuSeparator(XPLMMenuID inMenu);
CVHT_XPLM_API void XPLMSetMenuItemName(XPLMMenuID inMenu, int inIndex, const char *inItemName,
                                       int inDeprecatedAndIgnored);
CVHT_XPLM_API void XPLMCheckMenuItem(XPLMMenuID inMenu, int index, XPLMMenuCheck inCheck);
CVHT_XPLM_API void XPLMEnableMenuItem(XPLMMenuID inMenu, int index, int enabled);
CVHT_XPLM_API void XPLMRemoveMenuItem(XPLMMenuID inMenu, int inIndex);

CVHT_XPLM_API XPLMDataRef XPLMRegisterDataAccessor(
    const char *inDataName, XPLMDataTypeID inDataType, int inIsWritable, XPLMGetDatai_f inReadInt,
    XPLMSetDatai_f inWriteInt, XPLMGetDataf_f inReadFloat, XPLMSetDataf_f inWriteFloat, XPLMGetDatad_f inReadDouble,
    XPLMSetDatad_f inWriteDouble, XPLMGetDatavi_f inReadIntArray, XPLMSetDatavi_f inWriteIntArray,
    XPLMGetDatavf_f inReadFloatArray, XPLMSetDatavf_f inWriteFloatArray, XPLMGetDatab_f inReadData,
    XPLMSetDatab_f inWriteData, void *inReadRefcon, void *inWriteRefcon);
CVHT_XPLM_API void XPLMUnregisterDataAccessor(XPLMDataRef inDataRef);

CVHT_XPLM_API XPLMPluginID XPLMFindPluginBySignature(const char *inSignature);
CVHT_XPLM_API void XPLMSendMessageToPlugin(XPLMPluginID inPlugin, int inMessage, void *inParam);
CVHT_XPLM_API int XPLMIsPluginEnabled(XPLMPluginID inPluginID);
CVHT_XPLM_API int XPLMIsCameraBeingControlled(XPLMCameraControlDuration *outCameraControlDuration);

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
