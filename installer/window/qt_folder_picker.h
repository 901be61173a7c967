// The folder picker of the real window: a modal QFileDialog for one folder.
#pragma once

#include "installer_view_state.h"

class QWidget;

class QtFolderPicker : public FolderPicker {
 public:
  void setParent(QWidget* parent) { parent_ = parent; }
  std::optional<std::string> pickFolder(const std::string& prompt, const std::string& message) override;

 private:
  QWidget* parent_ = nullptr;
};
