// Resources, running applications and opening applications on macOS, through NSBundle and NSWorkspace.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <memory>

#include "system_platform.h"

std::optional<std::string> SystemPlatform::resourceFolder(const std::string& name) {
  @autoreleasepool {
    NSURL* url = [[NSBundle mainBundle] URLForResource:[NSString stringWithUTF8String:name.c_str()] withExtension:nil];
    if (!url || !url.fileURL) return std::nullopt;
    return std::string(url.path.fileSystemRepresentation);
  }
}

std::vector<RunningApplication> SystemPlatform::runningApplications() {
  std::vector<RunningApplication> apps;
  @autoreleasepool {
    for (NSRunningApplication* app in [NSWorkspace sharedWorkspace].runningApplications) {
      RunningApplication entry;
      if (NSString* identifier = app.bundleIdentifier) entry.bundleIdentifier = std::string(identifier.UTF8String);
      if (NSURL* url = app.bundleURL; url.fileURL) entry.bundlePath = std::string(url.path.fileSystemRepresentation);
      apps.push_back(std::move(entry));
    }
  }
  return apps;
}

void SystemPlatform::openApplication(const std::string& appPath,
                                     std::function<void(std::optional<std::string> error)> handler) {
  @autoreleasepool {
    NSURL* url = [NSURL fileURLWithPath:[NSString stringWithUTF8String:appPath.c_str()] isDirectory:YES];
    NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
    configuration.activates = YES;
    // The block owns its copy of the handler until the workspace calls it.
    auto owned = std::make_shared<std::function<void(std::optional<std::string>)>>(std::move(handler));
    [[NSWorkspace sharedWorkspace] openApplicationAtURL:url
                                          configuration:configuration
                                      completionHandler:^(NSRunningApplication*, NSError* error) {
                                        if (error)
                                          (*owned)(std::string(error.localizedDescription.UTF8String));
                                        else
                                          (*owned)(std::nullopt);
                                      }];
  }
}
