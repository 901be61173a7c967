// The install engine and X-Plane process control.
#include "installer.h"

#include <atomic>
#include <memory>

#include "main_queue.h"
#include "paths.h"
#include "platform_services.h"
#include "platform_table.h"
#include "xplane_locator.h"

namespace Installer {

namespace {

// Clean-up after a failure: its own errors are dropped, the step's error is the one reported.
void removeQuietly(PlatformServices& platform, const std::string& path) noexcept {
  try {
    platform.removeItem(path);
  } catch (...) {
  }
}

}  // namespace

std::optional<std::string> payload() {
  PlatformServices& platform = PlatformServices::current();
  auto folder = platform.resourceFolder("TAVRO");
  if (!folder || !platform.fileExists(paths::join(*folder, pluginFile))) return std::nullopt;
  return folder;
}

bool isAlreadyInstalled(const std::string& xplaneFolder) {
  return PlatformServices::current().fileExists(paths::join(xplaneFolder, "Resources/plugins/TAVRO"));
}

void install(const std::string& xplaneFolder) {
  PlatformServices& platform = PlatformServices::current();

  auto source = payload();
  if (!source) throw InstallError::payloadMissing();
  if (!XPlaneLocator::isValid(xplaneFolder)) throw InstallError::notXPlane();
  std::string plugins = paths::join(xplaneFolder, "Resources/plugins");
  if (!platform.isWritable(plugins)) throw InstallError::pluginsUnwritable();

  std::string destination = paths::join(plugins, "TAVRO");
  std::string staging;
  try {
    staging = paths::join(plugins, std::string(stagingPrefix) + platform.randomUUID().substr(0, 8));
  } catch (const std::exception& e) {
    throw InstallError::copyFailed(e);
  }

  // A name that is already taken belongs to another install; it is never ours to delete.
  bool stagingTaken = platform.fileExists(staging);
  try {
    platform.copyItem(*source, staging);
  } catch (const std::exception& e) {
    if (!stagingTaken) removeQuietly(platform, staging);
    throw InstallError::copyFailed(e);
  }

  try {
    if (platform.fileExists(destination))
      platform.replaceItem(destination, staging);
    else
      platform.moveItem(staging, destination);
  } catch (const std::exception& e) {
    removeQuietly(platform, staging);
    throw InstallError::copyFailed(e);
  }

  std::string installed = paths::join(destination, pluginFile);
  auto size = platform.fileSize(installed);
  if (platform.fileExists(installed) && size && *size > 0) return;
  removeQuietly(platform, destination);
  throw InstallError::verifyFailed();
}

std::string xplaneApp(const std::string& xplaneFolder) {
  return paths::join(xplaneFolder, XPlaneDesktop::kThisDesktop.application);
}

bool isRunning(const std::string& xplaneFolder) {
  PlatformServices& platform = PlatformServices::current();
  try {
    if (XPlaneDesktop::kThisDesktop.runningBy == XPlaneDesktop::RunningBy::programFile) {
      // Compared as files, so that a link or a second path to the folder cannot fool the test.
      auto program = platform.identity(xplaneApp(xplaneFolder));
      if (!program) return false;
      for (const RunningApplication& app : platform.runningApplications())
        if (app.program == program) return true;
      return false;
    }
    std::string target = paths::standardize(xplaneApp(xplaneFolder));
    for (const RunningApplication& app : platform.runningApplications()) {
      if (!app.bundleIdentifier || *app.bundleIdentifier != xplaneBundleID) continue;
      if (!app.bundlePath) continue;
      if (paths::standardize(*app.bundlePath) == target) return true;
    }
  } catch (const std::exception&) {
    // What cannot be established counts as not running.
  }
  return false;
}

void launch(const std::string& xplaneFolder, std::function<void(std::optional<std::string> error)> completion) {
  auto owned = std::make_shared<std::function<void(std::optional<std::string>)>>(std::move(completion));
  auto delivered = std::make_shared<std::atomic<bool>>(false);
  auto deliver = [owned, delivered](std::optional<std::string> error) {
    if (delivered->exchange(true)) return;  // exactly once, even if the platform also threw
    MainQueue::shared().post([owned, error = std::move(error)] { (*owned)(error); });
  };
  try {
    PlatformServices::current().openApplication(xplaneApp(xplaneFolder), deliver);
  } catch (const std::exception& e) {
    deliver(std::string(e.what()));
  }
}

}  // namespace Installer
