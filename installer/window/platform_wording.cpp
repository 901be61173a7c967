// The window's string table for this platform, from the desktop table.
#include "platform_wording.h"

#include "platform_table.h"

QString PlatformWording::translate(const char* context, const char* sourceText, const char*, int) const {
  if (!context || !sourceText || std::string_view(context) != "InstallerView") return {};
  for (const XPlaneDesktop::Wording& wording : XPlaneDesktop::kThisDesktop.windowWording)
    if (wording.key == sourceText) return QString::fromUtf8(wording.text.data(), static_cast<int>(wording.text.size()));
  return {};
}

bool PlatformWording::isEmpty() const { return XPlaneDesktop::kThisDesktop.windowWording.empty(); }
