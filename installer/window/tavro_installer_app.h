// The installer application: one window whose content is an InstallerView.
#pragma once

class TAVROInstallerApp {
 public:
  static int run(int argc, char** argv);
};

// Lets the Qt event loop drain the main queue whenever work is posted to it.
void connectMainQueueToEventLoop();
