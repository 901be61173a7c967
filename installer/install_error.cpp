// The install engine's error and its five user-facing texts.
#include "install_error.h"

InstallError::InstallError(Case which, std::string platformText)
    : case_(which), platformText_(std::move(platformText)), description_(describe(case_, platformText_)) {}

InstallError InstallError::copyFailed(std::string platformText) {
  return InstallError(Case::copyFailed, std::move(platformText));
}

std::string InstallError::describe(Case which, const std::string& platformText) {
  switch (which) {
    case Case::payloadMissing:
      return "This installer is damaged \u2014 the TAVRO add-on is missing. Please download TAVRO again.";
    case Case::notXPlane:
      return "That folder isn't an X-Plane 12 installation. Choose the folder that contains X-Plane.app.";
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
