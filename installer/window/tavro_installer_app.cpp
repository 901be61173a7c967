// The installer application: one window whose content is an InstallerView.
#include "tavro_installer_app.h"

#include <QApplication>
#include <QMetaObject>

#include "installer_view.h"
#include "main_queue.h"
#include "platform_wording.h"
#include "qt_folder_picker.h"

void connectMainQueueToEventLoop() {
  MainQueue::shared().setWaker([] {
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, [] { MainQueue::shared().drain(); }, Qt::QueuedConnection);
  });
}

int TAVROInstallerApp::run(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(true);
  connectMainQueueToEventLoop();
  PlatformWording wording;
  QCoreApplication::installTranslator(&wording);

  QtFolderPicker picker;
  InstallerView view(picker, [] { QCoreApplication::quit(); });
  picker.setParent(&view);
  view.show();
  int status = app.exec();
  MainQueue::shared().setWaker(nullptr);
  return status;
}
