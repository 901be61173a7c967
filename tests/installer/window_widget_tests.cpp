// The real Qt window on the offscreen platform: it shows what the screen content says, Return
// presses the default button, clicks reach the state, a full install lands in a temporary X-Plane
// folder, the platform's wording is shown, and folder paths show as they are. Each screen is saved as a PNG in the build folder for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextDocumentFragment>

#include "installer.h"
#include "installer_view.h"
#include "main_queue.h"
#include "platform_wording.h"
#include "tavro_installer_app.h"
#include "test_support.h"
#include "window_support.h"

using namespace testing_support;

namespace {

const std::string kApps = "/home/pilot/X-Plane 12";
const std::string kShared = "/home/pilot/Desktop/X-Plane 12";
const std::string kPayload = "/Installer/Resources/TAVRO";

template <typename W>
QList<W*> visible(QWidget* root) {
  QList<W*> shown;
  for (W* w : root->findChildren<W*>())
    if (w->isVisible()) shown.push_back(w);
  return shown;
}

class WindowWidget : public ::testing::Test {
 protected:
  TempDir tmp;
  TestPlatform platform{tmp.Path()};
  UsePlatform use{platform};
  FakePicker picker;
  int quits = 0;
  std::unique_ptr<InstallerView> view;

  void SetUp() override {
    MainQueue::shared().drain();
    makePayload(platform.real(kPayload), "plug-in");
    platform.resource = kPayload;
  }
  void TearDown() override {
    view.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void open() {
    view = std::make_unique<InstallerView>(picker, [this] { ++quits; });
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  }
  void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
  void save(const char* name) {
    settle();
    fs::create_directories(TAVRO_SCREENS_DIR);
    EXPECT_TRUE(view->grab().save(QString(TAVRO_SCREENS_DIR "/") + name + ".png")) << name;
  }
  std::vector<std::string> shownTexts() {
    std::vector<std::string> texts;
    for (QLabel* label : visible<QLabel>(view.get())) texts.push_back(label->text().toStdString());
    return texts;
  }
  static std::string plain(const QString& html) { return QTextDocumentFragment::fromHtml(html).toPlainText().toStdString(); }
  QPushButton* button(const char* action) {
    for (QPushButton* b : visible<QPushButton>(view.get()))
      if (b->objectName() == action) return b;
    return nullptr;
  }

  // The window shows exactly the content's texts, rows and buttons.
  void expectShowsContent() {
    settle();
    ScreenContent content = view->state().content();
    EXPECT_EQ(view->windowTitle().toStdString(), content.windowTitle);
    EXPECT_EQ(view->width(), kWindowWidth);

    std::vector<std::string> wantedTexts;
    for (QLabel* label : visible<QLabel>(view.get())) {
      EXPECT_TRUE(label->wordWrap());
      EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
    }
    for (const TextItem& t : content.texts()) wantedTexts.push_back(windowText(t).toStdString());
    EXPECT_EQ(shownTexts(), wantedTexts);

    std::vector<std::string> shownRows, wantedRows;
    int checked = -1;
    auto rows = visible<QRadioButton>(view.get());
    for (int i = 0; i < rows.size(); ++i) {
      shownRows.push_back(plain(rows[i]->toolTip()));  // the whole path; the row may show it cut
      EXPECT_LE(rows[i]->sizeHint().width(), kWindowWidth - 2 * kWindowMargin) << shownRows.back();
      if (rows[i]->isChecked()) checked = i;
    }
    for (const ScreenItem& item : content.items)
      if (const PickerItem* p = std::get_if<PickerItem>(&item)) {
        wantedRows = p->rows;
        EXPECT_EQ(checked, p->selected ? static_cast<int>(*p->selected) : -1);
      }
    EXPECT_EQ(shownRows, wantedRows);

    std::vector<std::string> shownButtons, wantedButtons;
    for (QPushButton* b : visible<QPushButton>(view.get()))
      shownButtons.push_back(describe(ButtonItem{Action::done, b->text().toStdString(), b->isEnabled(), b->isDefault()}));
    for (const ButtonItem& b : content.buttons()) wantedButtons.push_back(describe(b));
    EXPECT_EQ(shownButtons, wantedButtons);
  }
};

}  // namespace

TEST_F(WindowWidget, ChooserShowsTheContentAndRowsFollowClicks) {
  makeXPlane(platform.real(kApps));
  makeXPlane(platform.real(kShared));
  open();
  ASSERT_EQ(view->state().installs.size(), 2u);
  expectShowsContent();
  EXPECT_EQ(view->layout()->contentsMargins(), QMargins(30, 30, 30, 30));
  EXPECT_EQ(view->layout()->spacing(), 18);
  auto labels = visible<QLabel>(view.get());
  ASSERT_FALSE(labels.empty());
  EXPECT_EQ(labels[0]->font().pointSize(), 26);
  EXPECT_TRUE(labels[0]->font().bold());
  save("chooser-several");

  auto rows = visible<QRadioButton>(view.get());
  ASSERT_EQ(rows.size(), 2);
  QTest::mouseClick(rows[1], Qt::LeftButton, {}, QPoint(8, rows[1]->height() / 2));  // on the indicator
  EXPECT_EQ(view->state().selected->url, kShared);
  expectShowsContent();
}

TEST_F(WindowWidget, ReturnInstallsThroughTheWindowAndAFailedOpenShowsTheRedText) {
  makeXPlane(platform.real(kApps));
  open();
  expectShowsContent();
  save("chooser-one");
  ASSERT_EQ(view->defaultButton(), button("install"));

  QTest::keyClick(view.get(), Qt::Key_Return);
  ASSERT_TRUE(view->state().installed);
  EXPECT_EQ(readFile(platform.real(kApps + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile))),
            "plug-in");
  expectShowsContent();
  EXPECT_EQ(shownTexts().back(), "Then open TAVRO on your iPhone \u2014 it will find this computer by itself.");
  save("success");

  platform.openResult = std::optional<std::string>("refused");
  ASSERT_NE(button("openXPlane"), nullptr);
  QTest::mouseClick(button("openXPlane"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->state().launchError.has_value(); }, 5000));
  expectShowsContent();
  auto labels = visible<QLabel>(view.get());
  ASSERT_FALSE(labels.empty());
  EXPECT_EQ(labels.back()->palette().color(QPalette::WindowText), QColor(Qt::red));
  EXPECT_EQ(labels.back()->font().pointSize(), 12);
  save("success-launch-error");
  EXPECT_EQ(quits, 0);

  platform.openResult = std::optional<std::string>();  // opens: the window quits
  QTest::keyClick(view.get(), Qt::Key_Return);
  EXPECT_EQ(platform.opened, std::vector<std::string>(2, Installer::xplaneApp(kApps)));
  EXPECT_TRUE(QTest::qWaitFor([&] { return quits == 1; }, 5000));
}

TEST_F(WindowWidget, NothingFoundThenAnInvalidAndAValidFolder) {
  open();
  expectShowsContent();
  ASSERT_NE(button("install"), nullptr);
  EXPECT_FALSE(button("install")->isEnabled());
  QTest::keyClick(view.get(), Qt::Key_Return);  // disabled: nothing happens
  EXPECT_FALSE(view->state().error.has_value());
  EXPECT_EQ(shownTexts(), (std::vector<std::string>{
                              "TAVRO for X-Plane", "TAVRO couldn't find X-Plane 12 on this computer.",
                              "Choose the X-Plane 12 folder \u2014 the one containing X-Plane-x86_64."}));
  save("chooser-none");

  picker.answers = {std::string("/Volumes/Nothing")};
  QTest::mouseClick(button("chooseFolder"), Qt::LeftButton);
  EXPECT_TRUE(view->state().error.has_value());
  expectShowsContent();
  save("chooser-error");

  makeXPlane(platform.real("/Volumes/Sim/X-Plane 12"));
  picker.answers = {std::string("/Volumes/Sim/X-Plane 12")};
  QTest::mouseClick(button("chooseFolder"), Qt::LeftButton);
  expectShowsContent();
  EXPECT_TRUE(button("install")->isEnabled());
}

TEST_F(WindowWidget, ReplaceWhileXPlaneRunsLeavesOnlyDoneWhichQuits) {
  makeXPlane(platform.real(kApps));
  writeFile(platform.real(kApps + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile)), "old");
  platform.running = std::vector<RunningApplication>{{std::nullopt, std::nullopt, platform.identity(Installer::xplaneApp(kApps))}};
  open();
  EXPECT_EQ(button("install")->text().toStdString(), "Replace TAVRO");
  expectShowsContent();
  save("chooser-replace");

  QTest::keyClick(view.get(), Qt::Key_Enter);
  ASSERT_TRUE(view->state().installed);
  expectShowsContent();
  EXPECT_EQ(visible<QPushButton>(view.get()).size(), 1);
  save("success-running");
  QTest::keyClick(view.get(), Qt::Key_Return);  // no default action on this screen
  EXPECT_EQ(quits, 0);
  QTest::mouseClick(button("done"), Qt::LeftButton);
  EXPECT_EQ(quits, 1);
}

// "&" is shown and takes no shortcut; long paths are cut in the middle, whole in the tooltip, and
// two of them still tell apart.
TEST_F(WindowWidget, FolderPathsShowAsTheyAre) {
  const std::string ampersand = "/data/Sims & Games/X-Plane 12";
  const std::string longA = "/mnt/disk-one/" + std::string(60, 'a') + "/Library/Flight Simulators/X-Plane 12 Beta";
  const std::string longB = "/mnt/disk-two/" + std::string(60, 'a') + "/Library/Flight Simulators/X-Plane 12 Release";
  for (const std::string& folder : {ampersand, longA, longB}) makeXPlane(platform.real(folder));
  writeFile(platform.real(paths::join(platform.home, XPlaneDesktop::kThisDesktop.listFile)),
            ampersand + "\n" + longA + "\n" + longB + "\n");
  open();
  expectShowsContent();
  auto rows = visible<QRadioButton>(view.get());
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0]->text().toStdString(), "/data/Sims && Games/X-Plane 12");  // "&&" is one "&" shown
  EXPECT_TRUE(rows[0]->shortcut().isEmpty());
  for (int i : {1, 2}) {
    std::string shown = rows[i]->text().toStdString();
    EXPECT_NE(shown.find("\u2026"), std::string::npos) << shown;
    EXPECT_EQ(shown.rfind("/mnt/disk-", 0), 0u) << shown;
  }
  EXPECT_NE(rows[1]->text(), rows[2]->text());
  EXPECT_EQ(plain(rows[1]->toolTip()), longA);
  save("chooser-paths");
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  connectMainQueueToEventLoop();
  PlatformWording wording;
  QCoreApplication::installTranslator(&wording);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
