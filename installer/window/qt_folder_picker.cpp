// The folder picker of the real window: a modal QFileDialog for one folder.
#include "qt_folder_picker.h"

#include <QFile>
#include <QFileDialog>

std::optional<std::string> QtFolderPicker::pickFolder(const std::string& prompt, const std::string& message) {
  // The message is the dialog's caption, which the macOS panel shows above its list.
  QFileDialog dialog(parent_, QString::fromStdString(message));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(prompt));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  QStringList picked = dialog.selectedFiles();
  if (picked.isEmpty()) return std::nullopt;
  return QFile::encodeName(picked.first()).toStdString();
}
