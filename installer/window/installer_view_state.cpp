// The installer window's state, its operations and the screen content worked out from it.
#include "installer_view_state.h"

#include <algorithm>

#include "installer.h"
#include "paths.h"
#include "platform_table.h"

std::vector<TextItem> ScreenContent::texts() const {
  std::vector<TextItem> all{heading};
  for (const ScreenItem& item : items)
    if (const TextItem* text = std::get_if<TextItem>(&item)) all.push_back(*text);
  return all;
}

std::vector<ButtonItem> ScreenContent::buttons() const {
  std::vector<ButtonItem> all = leading;
  all.insert(all.end(), trailing.begin(), trailing.end());
  return all;
}

std::optional<ButtonItem> ScreenContent::button(Action action) const {
  for (const ButtonItem& b : buttons())
    if (b.action == action) return b;
  return std::nullopt;
}

InstallerViewState::InstallerViewState(FolderPicker& picker, std::function<void()> quit, std::function<void()> changed)
    : picker_(picker),
      quit_(std::move(quit)),
      changed_(std::move(changed)),
      self_(std::make_shared<InstallerViewState*>(this)) {}

void InstallerViewState::notify() {
  if (changed_) changed_();
}

void InstallerViewState::locate() {
  installs = XPlaneLocator::find();
  selected = installs.empty() ? std::nullopt : std::optional<XPlaneInstall>(installs.front());
  if (!Installer::payload()) error = InstallError::payloadMissing().errorDescription();
  notify();
}

void InstallerViewState::chooseFolder() {
  auto picked = picker_.pickFolder(WindowText::pickerPrompt, std::string(XPlaneDesktop::kThisDesktop.pickerMessage));
  if (!picked || picked->empty()) return;
  if (XPlaneLocator::isValid(*picked)) {
    error.reset();
    XPlaneInstall install{paths::standardize(*picked)};
    if (std::find(installs.begin(), installs.end(), install) == installs.end()) installs.push_back(install);
    selected = install;
  } else {
    error = InstallError::notXPlane().errorDescription();
  }
  notify();
}

void InstallerViewState::install() {
  if (!selected) return;
  working = true;
  error.reset();
  std::string folder = selected->url;
  wasUpdate = Installer::isAlreadyInstalled(folder);
  try {
    Installer::install(folder);
    xplaneRunning = Installer::isRunning(folder);
    installed = true;
  } catch (const InstallError& e) {
    error = e.errorDescription();
  } catch (const std::exception& e) {
    error = e.what();
  }
  working = false;
  notify();
}

void InstallerViewState::openXPlane() {
  if (!selected) return;
  launchError.reset();
  notify();
  std::weak_ptr<InstallerViewState*> weak = self_;
  Installer::launch(selected->url, [weak](std::optional<std::string> launchFailure) {
    auto alive = weak.lock();
    if (!alive) return;  // the window has gone in the meantime
    InstallerViewState& state = **alive;
    if (launchFailure) {
      state.launchError = WindowText::launchFailed;  // the platform's text is not shown
      state.notify();
    } else if (state.quit_) {
      state.quit_();
    }
  });
}

void InstallerViewState::done() {
  if (quit_) quit_();
}

void InstallerViewState::select(std::size_t row) {
  if (row >= installs.size()) return;
  selected = installs[row];
  notify();
}

void InstallerViewState::perform(Action action) {
  switch (action) {
    case Action::chooseFolder: return chooseFolder();
    case Action::install: return install();
    case Action::done: return done();
    case Action::openXPlane: return openXPlane();
  }
}

ScreenContent InstallerViewState::content() const {
  ScreenContent c;
  c.windowTitle = WindowText::windowTitle;
  c.heading = {TextRole::heading, WindowText::heading};
  auto stateText = [](std::string text) { return TextItem{TextRole::error, std::move(text), true, false}; };

  if (installed) {
    c.screen = Screen::success;
    c.spacing = 14;
    c.items.push_back(TextItem{TextRole::title, wasUpdate ? WindowText::updated : WindowText::installedText});
    c.items.push_back(TextItem{TextRole::body, xplaneRunning ? WindowText::restart : WindowText::openIt});
    c.items.push_back(TextItem{TextRole::secondary, WindowText::iphone});
    if (launchError) c.items.push_back(stateText(*launchError));
    c.trailing.push_back({Action::done, WindowText::done, true, false});
    if (!xplaneRunning) c.trailing.push_back({Action::openXPlane, WindowText::openXPlane, true, true});
    return c;
  }

  c.screen = Screen::chooser;
  c.spacing = 16;
  bool alreadyThere = selected && Installer::isAlreadyInstalled(selected->url);
  if (installs.empty()) {
    c.items.push_back(TextItem{TextRole::body, WindowText::notFound});
    c.items.push_back(TextItem{TextRole::secondary, WindowText::notFoundHint, true});
  } else {
    c.items.push_back(TextItem{TextRole::body, installs.size() == 1 ? WindowText::foundOne : WindowText::foundSeveral});
    PickerItem picker;
    for (std::size_t i = 0; i < installs.size(); ++i) {
      picker.rows.push_back(installs[i].displayName());
      if (selected && installs[i] == *selected) picker.selected = i;
    }
    c.items.push_back(std::move(picker));
    if (alreadyThere) c.items.push_back(TextItem{TextRole::secondary, WindowText::alreadyInstalled, true});
  }
  if (error) c.items.push_back(stateText(*error));
  c.leading.push_back({Action::chooseFolder, WindowText::chooseFolder, true, false});
  c.trailing.push_back(
      {Action::install, alreadyThere ? WindowText::replace : WindowText::install, selected.has_value() && !working, true});
  return c;
}
