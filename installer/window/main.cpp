// Entry point of the TAVRO installer.
#include "tavro_installer_app.h"

int main(int argc, char** argv) { return TAVROInstallerApp::run(argc, argv); }
