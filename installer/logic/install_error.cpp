// The install engine's error, its five user-facing texts, and the causes of a failed copy.
#include "install_error.h"

#include <cerrno>
#include <new>

#include "platform_services.h"
#include "platform_table.h"

InstallError::InstallError(Case which, std::string platformText)
    : case_(which), platformText_(std::move(platformText)), description_(describe(case_, platformText_)) {}

InstallError InstallError::copyFailed(std::string platformText) {
  return InstallError(Case::copyFailed, std::move(platformText));
}

InstallError InstallError::copyFailed(const std::exception& cause) { return copyFailed(readableCause(cause)); }

std::string InstallError::describe(Case which, const std::string& platformText) {
  switch (which) {
    case Case::payloadMissing:
      return "This installer is damaged \u2014 the TAVRO add-on is missing. Please download TAVRO again.";
    case Case::notXPlane:
      return std::string(XPlaneDesktop::kThisDesktop.notXPlane);
    case Case::pluginsUnwritable:
      return "TAVRO doesn't have permission to change that X-Plane folder. Try a copy of X-Plane in your home "
             "folder, or check the folder's permissions.";
    case Case::verifyFailed:
      return "TAVRO was copied but didn't look right afterwards, so it was removed. Please try again.";
    case Case::copyFailed:
      break;
  }
  return "TAVRO couldn't be installed: " + platformText;
}

namespace {

const char* sentence(int code, Access access) {
  bool reading = access == Access::read;
  switch (code) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return "There isn't enough space on the disk.";
    case EACCES:
    case EPERM:
      return reading ? "You don't have permission to read the installer's files."
                     : "You don't have permission to write in that folder.";
    case EROFS: return "The disk is read-only.";
    case EIO: return reading ? "The installer's files couldn't be read from the disk." : "The disk couldn't be written.";
    case ENOENT: return "The item couldn't be found.";
    case EEXIST:
    case ENOTEMPTY: return "An item with the same name already exists.";
    case EBUSY:
    case ETXTBSY: return "The item is in use.";
    case ENAMETOOLONG: return "The item's name is too long.";
    case ELOOP: return "The item's links lead round in a circle.";
    case ENOTSUP: return "The item is of a kind that can't be copied.";
    case EXDEV: return "The item can't be moved to another disk.";
    case ENOMEM: return "There isn't enough memory.";
    case EMFILE:
    case ENFILE: return "Too many files are open.";
    default: return "The operation couldn't be completed.";
  }
}

}  // namespace

std::string InstallError::readableCause(const std::exception& cause) {
  if (const auto* failure = dynamic_cast<const PlatformError*>(&cause)) {
    std::string text = sentence(failure->code(), failure->access());
    if (!failure->item().empty()) text += " (" + failure->item() + ")";
    return text;
  }
  if (dynamic_cast<const std::bad_alloc*>(&cause)) return sentence(ENOMEM, Access::write);
  return sentence(0, Access::write);
}
