// The installer window in Qt Widgets.
#include "installer_view.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {

QString fixedText(const std::string& text) { return QCoreApplication::translate("InstallerView", text.c_str()); }

const char* actionName(Action action) {
  switch (action) {
    case Action::chooseFolder: return "chooseFolder";
    case Action::install: return "install";
    case Action::done: return "done";
    case Action::openXPlane: return "openXPlane";
  }
  return "";
}

QLabel* makeLabel(const TextItem& item, const QPalette& palette, QWidget* parent) {
  auto* label = new QLabel(windowText(item), parent);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);  // wrapping texts take the height they need, never cut
  label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  QFont font = label->font();
  QPalette colours = palette;
  switch (item.role) {
    case TextRole::heading:
      font.setPointSize(26);
      font.setBold(true);
      break;
    case TextRole::title:
      font.setPointSize(17);
      font.setWeight(QFont::DemiBold);
      break;
    case TextRole::body:
      break;
    case TextRole::secondary:
      colours.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
      break;
    case TextRole::error:
      colours.setColor(QPalette::WindowText, Qt::red);
      break;
  }
  if (item.small) font.setPointSize(12);
  label->setFont(font);
  label->setPalette(colours);
  return label;
}

// A folder path as it is: "&" shown, not taken as a shortcut; a long one cut in the middle to fit
// the column, and shown whole in the tooltip.
void showPath(QRadioButton* row, const QString& path) {
  QStyle* style = row->style();
  int room = kWindowWidth - 2 * kWindowMargin - style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, row) -
             style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, row) - 8;
  QString shown = row->fontMetrics().elidedText(path, Qt::ElideMiddle, room);
  row->setText(shown.replace(QLatin1Char('&'), QLatin1String("&&")));
  row->setToolTip(Qt::convertFromPlainText(path, Qt::WhiteSpaceNoWrap));
}

}  // namespace

QString windowText(const TextItem& item) {
  return item.fixed ? fixedText(item.text) : QString::fromStdString(item.text);
}

InstallerView::InstallerView(FolderPicker& picker, std::function<void()> quit, QWidget* parent)
    : QWidget(parent), state_(picker, std::move(quit)) {
  state_.setChanged([this] { render(); });
  // Body texts and buttons in the 13-point system font of macOS, so the 12-point notes stay the
  // smaller ones on every platform.
  QFont base = font();
  base.setPointSize(13);
  setFont(base);
  column_ = new QVBoxLayout(this);
  column_->setContentsMargins(kWindowMargin, kWindowMargin, kWindowMargin, kWindowMargin);
  column_->setSpacing(kOuterSpacing);
  column_->setAlignment(Qt::AlignTop | Qt::AlignLeft);

  // A plain window has no default button of its own: Return and Enter press it explicitly.
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* shortcut = new QShortcut(QKeySequence(key), this);
    connect(shortcut, &QShortcut::activated, this, &InstallerView::pressDefault);
  }
  render();
}

void InstallerView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (located_) return;
  located_ = true;
  state_.locate();
}

void InstallerView::pressDefault() {
  if (defaultButton_ && defaultButton_->isEnabled() && defaultButton_->isVisible()) defaultButton_->click();
}

void InstallerView::render() {
  ScreenContent content = state_.content();
  setWindowTitle(fixedText(content.windowTitle));

  // Rendering may run inside a click of the old screen's buttons: retire it, delete it later.
  while (QLayoutItem* item = column_->takeAt(0)) {
    if (QWidget* old = item->widget()) {
      old->hide();
      old->deleteLater();
    }
    delete item;
  }
  defaultButton_ = nullptr;
  QLabel* heading = makeLabel(content.heading, palette(), this);
  column_->addWidget(heading);
  screen_ = buildScreen(content);
  column_->addWidget(screen_);
  // Children added to a window already on screen are not shown by themselves.
  heading->show();
  screen_->show();

  setFixedWidth(kWindowWidth);
  column_->activate();
  int height = column_->hasHeightForWidth() ? column_->totalHeightForWidth(kWindowWidth)
                                            : column_->totalSizeHint().height();
  setFixedHeight(height);
}

QWidget* InstallerView::buildScreen(const ScreenContent& content) {
  auto* screen = new QWidget(this);
  screen->setObjectName(content.screen == Screen::success ? "success" : "chooser");
  auto* column = new QVBoxLayout(screen);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(content.spacing);

  for (const ScreenItem& item : content.items) {
    if (const TextItem* text = std::get_if<TextItem>(&item)) {
      column->addWidget(makeLabel(*text, palette(), screen));
      continue;
    }
    const PickerItem& picker = std::get<PickerItem>(item);
    auto* rows = new QWidget(screen);
    rows->setObjectName("picker");
    auto* rowsColumn = new QVBoxLayout(rows);
    rowsColumn->setContentsMargins(0, 0, 0, 0);
    auto* group = new QButtonGroup(rows);
    for (std::size_t i = 0; i < picker.rows.size(); ++i) {
      auto* row = new QRadioButton(rows);
      showPath(row, QString::fromStdString(picker.rows[i]));
      row->setChecked(picker.selected == i);
      group->addButton(row, static_cast<int>(i));
      rowsColumn->addWidget(row);
    }
    connect(group, &QButtonGroup::idClicked, this, [this](int id) {
      if (id >= 0) state_.select(static_cast<std::size_t>(id));
    });
    column->addWidget(rows);
  }

  auto* buttons = new QHBoxLayout();
  buttons->setContentsMargins(0, 0, 0, 0);
  auto add = [&](const ButtonItem& b) {
    auto* button = new QPushButton(fixedText(b.title), screen);
    button->setObjectName(actionName(b.action));
    button->setEnabled(b.enabled);
    button->setAutoDefault(false);
    button->setDefault(b.isDefault);
    if (b.isDefault) defaultButton_ = button;
    Action action = b.action;
    connect(button, &QPushButton::clicked, this, [this, action] { state_.perform(action); });
    buttons->addWidget(button);
  };
  for (const ButtonItem& b : content.leading) add(b);
  buttons->addStretch(1);
  for (const ButtonItem& b : content.trailing) add(b);
  column->addLayout(buttons);
  return screen;
}
