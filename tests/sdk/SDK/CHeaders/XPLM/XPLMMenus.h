// SDK-shaped stand-in for X-Plane's XPLMMenus.h: the Plugins menu, menus and their items.
#pragma once
#include "XPLMDefs.h"
#include "XPLMUtilities.h"
extern "C" {
typedef void *XPLMMenuID;
enum { xplm_Menu_NoCheck = 0, xplm_Menu_Unchecked = 1, xplm_Menu_Checked = 2 };
typedef int XPLMMenuCheck;
typedef void (*XPLMMenuHandler_f)(void *inMenuRef, void *inItemRef);
XPLM_API XPLMMenuID XPLMFindPluginsMenu(void);
XPLM_API XPLMMenuID XPLMCreateMenu(const char *inName, XPLMMenuID inParentMenu, int inParentItem,
                                   XPLMMenuHandler_f inHandler, void *inMenuRef);
XPLM_API void XPLMDestroyMenu(XPLMMenuID inMenuID);
XPLM_API int XPLMAppendMenuItem(XPLMMenuID inMenu, const char *inItemName, void *inItemRef, int inDeprecatedAndIgnored);
XPLM_API int XPLMAppendMenuItemWithCommand(XPLMMenuID inMenu, const char *inItemName, XPLMCommandRef inCommandToExecute);
XPLM_API void XPLMAppendMenuSeparator(XPLMMenuID inMenu);
XPLM_API void XPLMSetMenuItemName(XPLMMenuID inMenu, int inIndex, const char *inItemName, int inDeprecatedAndIgnored);
XPLM_API void XPLMCheckMenuItem(XPLMMenuID inMenu, int index, XPLMMenuCheck inCheck);
XPLM_API void XPLMEnableMenuItem(XPLMMenuID inMenu, int index, int enabled);
XPLM_API void XPLMRemoveMenuItem(XPLMMenuID inMenu, int inIndex);
}
