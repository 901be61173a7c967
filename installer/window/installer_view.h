// The installer window in Qt Widgets: renders the screen content of its state and forwards the
// user's clicks, nothing else.
#pragma once

#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "installer_view_state.h"

class QVBoxLayout;

class InstallerView : public QWidget {
  Q_OBJECT

 public:
  InstallerView(FolderPicker& picker, std::function<void()> quit, QWidget* parent = nullptr);

  InstallerViewState& state() { return state_; }
  // The button that Return presses, if the screen has one.
  QPushButton* defaultButton() const { return defaultButton_; }

  // Rebuilds the window from the state's content.
  void render();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void pressDefault();
  QWidget* buildScreen(const ScreenContent& content);

  InstallerViewState state_;
  QVBoxLayout* column_ = nullptr;
  QWidget* screen_ = nullptr;
  QPointer<QPushButton> defaultButton_;
  bool located_ = false;
};

// Converts a fixed window text through Qt's translation lookup; shown as it stands without one.
QString windowText(const TextItem& item);
