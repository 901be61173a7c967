// Which platform services are in use, and the standardisation every caller shares.
#include "platform_services.h"

#include "paths.h"
#include "system_platform.h"

namespace {
PlatformServices* gServices = nullptr;
}

std::string PlatformServices::standardize(const std::string& path) {
  return paths::standardize(path, currentDirectory());
}

PlatformServices& PlatformServices::current() {
  if (gServices) return *gServices;
  static SystemPlatform system;
  return system;
}

void PlatformServices::use(PlatformServices* services) { gServices = services; }
