// The installer window's state and its operations, without any UI toolkit: locate the X-Plane 12
// folders, choose one, install, open X-Plane; and the screen content worked out from the state.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "screen_content.h"
#include "xplane_locator.h"

// The modal folder picker; tests answer it themselves.
class FolderPicker {
 public:
  virtual ~FolderPicker() = default;
  // The picked folder, or nothing when the user cancelled. prompt labels the confirm button.
  virtual std::optional<std::string> pickFolder(const std::string& prompt, const std::string& message) = 0;
};

class InstallerViewState {
 public:
  // quit ends the application; changed is called after every change of state, including the
  // completion of opening X-Plane that arrives later on the main thread.
  InstallerViewState(FolderPicker& picker, std::function<void()> quit, std::function<void()> changed = {});
  InstallerViewState(const InstallerViewState&) = delete;
  InstallerViewState& operator=(const InstallerViewState&) = delete;

  std::vector<XPlaneInstall> installs;
  std::optional<XPlaneInstall> selected;
  bool installed = false;
  bool wasUpdate = false;
  std::optional<std::string> error;
  bool working = false;
  bool xplaneRunning = false;
  std::optional<std::string> launchError;

  void locate();
  void chooseFolder();
  void install();
  void openXPlane();
  void done();
  // A picker row chosen by the user; rows outside the list are ignored.
  void select(std::size_t row);
  void perform(Action action);

  ScreenContent content() const;

  void setChanged(std::function<void()> changed) { changed_ = std::move(changed); }

 private:
  void notify();

  FolderPicker& picker_;
  std::function<void()> quit_;
  std::function<void()> changed_;
  // Outlives this state only while a completion of opening X-Plane is still queued.
  std::shared_ptr<InstallerViewState*> self_;
};

// The fixed texts of the window, byte for byte. Each is also the key the window looks up in the
// application's string table (the context "InstallerView"); marked so that Qt's tools extract them.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, x) x  // as Qt defines it, so either may come first
#endif
namespace WindowText {
inline constexpr const char* windowTitle = QT_TRANSLATE_NOOP("InstallerView", "Install TAVRO");
inline constexpr const char* heading = QT_TRANSLATE_NOOP("InstallerView", "TAVRO for X-Plane");
inline constexpr const char* notFound = QT_TRANSLATE_NOOP("InstallerView", "TAVRO couldn't find X-Plane 12 on this Mac.");
inline constexpr const char* notFoundHint =
    QT_TRANSLATE_NOOP("InstallerView", "Choose the X-Plane 12 folder — the one containing X-Plane.app.");
inline constexpr const char* foundOne = QT_TRANSLATE_NOOP("InstallerView", "Found X-Plane 12 here:");
inline constexpr const char* foundSeveral = QT_TRANSLATE_NOOP("InstallerView", "Choose your X-Plane 12:");
inline constexpr const char* alreadyInstalled =
    QT_TRANSLATE_NOOP("InstallerView", "TAVRO is already installed here. Installing again will replace it.");
inline constexpr const char* chooseFolder = QT_TRANSLATE_NOOP("InstallerView", "Choose X-Plane 12 Folder…");
inline constexpr const char* install = QT_TRANSLATE_NOOP("InstallerView", "Install TAVRO");
inline constexpr const char* replace = QT_TRANSLATE_NOOP("InstallerView", "Replace TAVRO");
inline constexpr const char* updated = QT_TRANSLATE_NOOP("InstallerView", "TAVRO has been updated.");
inline constexpr const char* installedText = QT_TRANSLATE_NOOP("InstallerView", "TAVRO is installed.");
inline constexpr const char* restart =
    QT_TRANSLATE_NOOP("InstallerView", "X-Plane 12 is open. Quit it completely and open it again, so TAVRO is loaded.");
inline constexpr const char* openIt = QT_TRANSLATE_NOOP("InstallerView", "Open X-Plane 12 and TAVRO will be ready.");
inline constexpr const char* iphone =
    QT_TRANSLATE_NOOP("InstallerView", "Then open TAVRO on your iPhone — it will find this Mac by itself.");
inline constexpr const char* done = QT_TRANSLATE_NOOP("InstallerView", "Done");
inline constexpr const char* openXPlane = QT_TRANSLATE_NOOP("InstallerView", "Open X-Plane");
// Texts from state and the picker's texts are used verbatim, never looked up.
inline constexpr const char* launchFailed = "TAVRO couldn't open X-Plane 12. Open it yourself and TAVRO will be ready.";
inline constexpr const char* pickerPrompt = "Choose";
}  // namespace WindowText
