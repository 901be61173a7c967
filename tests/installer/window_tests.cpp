// The installer window, real and offscreen, with the real install engine on temporary X-Plane folders.
// One row per walk the user can take through its keys, buttons and folder picker; at each stop the
// window is compared, as the user sees it, with one expected text, and saved as a PNG in the build
// folder for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextDocumentFragment>
#include <set>

#include "installer_view.h"
#include "main_queue.h"
#include "platform_wording.h"
#include "tavro_installer_app.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kApps = "/home/pilot/X-Plane 12";
const std::string kShared = "/home/pilot/Desktop/X-Plane 12";
const std::string kSim = "/Volumes/Sim/X-Plane 12";
const std::string kPayload = "/Installer/Resources/TAVRO";
const std::string kPlugin = std::string(Installer::pluginFile);
const std::string kAmpersand = "/data/Sims & Games/X-Plane 12";
const std::string kLong = "/mnt/disk-one/" + std::string(60, 'a') + "/Library/Flight Simulators/X-Plane 12 ";

const std::string kHead = "26 bold: TAVRO for X-Plane\n";
const std::string kOne = kHead + "chooser, spacing 16\n13: Found X-Plane 12 here:\n";
const std::string kSeveral = kHead + "chooser, spacing 16\n13: Choose your X-Plane 12:\n";
const std::string kAppsRow = "(x) /home/pilot/X-Plane 12\n";
const std::string kButtons = "[Choose X-Plane 12 Folder…] ~ [Install TAVRO, default]\n";
const std::string kNotXPlane =
    "12 red: That folder isn't an X-Plane 12 installation. Choose the folder that contains X-Plane-x86_64.\n";
const std::string kSuccess = kHead + "success, spacing 14\n17 bold: TAVRO is installed.\n";
const std::string kIphone = "13 grey: Then open TAVRO on your iPhone — it will find this computer by itself.\n";
const std::string kInstalled = kSuccess + "13: Open X-Plane 12 and TAVRO will be ready.\n" + kIphone;
const std::string kOpenButtons = "~ [Done] [Open X-Plane, default]\n";
const std::string kOpened = "opened: /home/pilot/X-Plane 12/X-Plane-x86_64\n";

struct FakePicker : FolderPicker {
  std::optional<std::string> answer;  // nothing = cancelled
  std::string asked;  // the last prompt and message

  std::optional<std::string> pickFolder(const std::string& prompt, const std::string& message) override {
    asked = prompt + "|" + message;
    return answer;
  }
};

struct Window : ::testing::Test {
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
  InstallerViewState& state() { return view->state(); }
  void open() {
    view = std::make_unique<InstallerView>(picker, [this] { ++quits; });
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  }
  template <typename W>
  QList<W*> shown() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QList<W*> widgets;
    for (W* w : view->findChildren<W*>())
      if (w->isVisible()) widgets.push_back(w);
    return widgets;
  }

  // The window as the user sees it, top to bottom: each text as "points [bold] [grey|red]: text", the
  // screen and its spacing, each row as "(x) path" with the whole path, the buttons on one line with
  // "~" for the flexible space; then the X-Plane programs opened and the quits asked for. No text is
  // cut, and every row fits and tells itself apart from the others.
  std::string seen() {
    EXPECT_EQ(view->windowTitle().toStdString(), "Install TAVRO");
    EXPECT_EQ(view->width(), kWindowWidth);
    EXPECT_EQ(view->layout()->contentsMargins(), QMargins(30, 30, 30, 30));
    EXPECT_EQ(view->layout()->spacing(), 18);
    std::string out, buttons;
    std::set<QString> rows;
    int edge = 0;
    std::size_t labels = 0, pushed = 0;
    for (QWidget* w : shown<QWidget>()) {
      if (auto* label = qobject_cast<QLabel*>(w)) {
        QColor colour = label->palette().color(QPalette::WindowText);
        ++labels;
        const char* tint = colour == Qt::red                                      ? " red"
                           : colour != view->palette().color(QPalette::WindowText) ? " grey"
                                                                                   : "";
        out += std::to_string(label->font().pointSize()) + (label->font().bold() ? " bold" : "") + tint + ": " +
               label->text().toStdString() + "\n";
        EXPECT_TRUE(label->wordWrap() && label->height() >= label->heightForWidth(label->width())) << out;
      } else if (auto* row = qobject_cast<QRadioButton*>(w)) {
        QString path = QTextDocumentFragment::fromHtml(row->toolTip()).toPlainText(), text = row->text();
        out += (row->isChecked() ? "(x) " : "( ) ") + path.toStdString() + "\n";
        // "&&" shows one "&" and takes no shortcut; a long path is cut in the middle.
        EXPECT_TRUE(row->shortcut().isEmpty() && rows.insert(text).second) << out;
        EXPECT_TRUE(text == QString(path).replace("&", "&&") ||
                    (text.contains(QChar(0x2026)) && text.startsWith("/mnt/disk-")))
            << out;
        EXPECT_LE(row->sizeHint().width(), kWindowWidth - 2 * kWindowMargin) << out;
      } else if (auto* b = qobject_cast<QPushButton*>(w)) {
        buttons += std::string(b->x() > edge + 20 ? "~ " : "") + "[" + b->text().toStdString() +
                   (b->isEnabled() ? "" : ", disabled") + (b->isDefault() ? ", default" : "") + "] ";
        edge = b->geometry().right();
        ++pushed;
        EXPECT_EQ(b == view->defaultButton(), b->isDefault()) << buttons;
      } else if (w->objectName() == "chooser" || w->objectName() == "success") {
        out += w->objectName().toStdString() + ", spacing " + std::to_string(w->layout()->spacing()) + "\n";
      }
    }
    // Every text and button of the screen's content is shown, and nothing else.
    ScreenContent content = state().content();
    EXPECT_EQ(std::make_pair(labels, pushed), std::make_pair(content.texts().size(), content.buttons().size())) << out;
    if (!buttons.empty()) buttons.back() = '\n';
    out += buttons;
    for (const std::string& app : platform.opened) out += "opened: " + app + "\n";
    return quits ? out + "quit " + std::to_string(quits) + "\n" : out;
  }
  void click(const std::string& action) {
    for (QPushButton* b : shown<QPushButton>())
      if (b->objectName().toStdString() == action) return QTest::mouseClick(b, Qt::LeftButton);
    ADD_FAILURE() << "no button " << action;
  }
};

// One walk: the X-Plane folders ("+": TAVRO is installed there), then stops, each the steps of the
// machine and the user (the window shown at "show window") and what the window shows after them.
struct Row {
  const char* name;
  Names xplanes;
  std::vector<std::pair<Names, std::string>> stops;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

const Row kRows[] = {
    // The button is disabled then, but the state must not install into nothing if asked.
    {"nothing_found_then_a_folder_chosen", {},
     {{{"show window", "press Return", "install"},
       kHead + "chooser, spacing 16\n13: TAVRO couldn't find X-Plane 12 on this computer.\n"
               "12 grey: Choose the X-Plane 12 folder — the one containing X-Plane-x86_64.\n"
               "[Choose X-Plane 12 Folder…] ~ [Install TAVRO, disabled, default]\n"},
      {{"X-Plane at " + kSim, "pick " + kSim + "/"}, kOne + "(x) /Volumes/Sim/X-Plane 12\n" + kButtons}}},
    // The fake folder's program is an empty file that cannot be run: our text, not the system's. The
    // next try clears it at once; opening quits only once the completion arrives, on the main queue.
    {"one_found_installed_and_opened", {kApps},
     {{{"show window"}, kOne + kAppsRow + kButtons},
      {{"press Return"}, kInstalled + kOpenButtons},
      {{"press Return", "wait"},
       kInstalled + "12 red: TAVRO couldn't open X-Plane 12. Open it yourself and TAVRO will be ready.\n" +
           kOpenButtons + kOpened},
      {{"runnable program", "click openXPlane"}, kInstalled + kOpenButtons + kOpened + kOpened},
      {{"wait"}, kInstalled + kOpenButtons + kOpened + kOpened + "quit 1\n"}}},
    {"missing_payload_shown_at_once_and_on_install", {kApps},
     {{{"remove " + kPayload, "show window"}, kOne + kAppsRow + "12 red: " + kDamaged + "\n" + kButtons},
      {{"press Return"}, kOne + kAppsRow + "12 red: " + kDamaged + "\n" + kButtons}}},
    {"folder_gone_then_unwritable_then_retried", {kApps},
     {{{"show window", "remove " + kApps, "press Return"}, kOne + kAppsRow + kNotXPlane + kButtons},
      {{"X-Plane at " + kApps, "unwritable", "press Return"},
       kOne + kAppsRow + "12 red: " + kUnwritable + "\n" + kButtons},
      {{"writable", "press Return"}, kInstalled + kOpenButtons}}},
    // A folder that is not X-Plane's, a file and a missing folder: none is listed. The message stays through a change
    // of selection and a cancelled picker, and goes with a good folder; a listed folder chosen again
    // by another path is selected, not listed twice.
    {"folders_picked", {kApps, kSim},
     {{{"file /Volumes/file.txt", "show window", "pick /Installer", "pick /Volumes/file.txt", "pick /Volumes/Gone",
        "click row 0", "cancel picker"},
       kOne + kAppsRow + kNotXPlane + kButtons},
      {{"pick " + kSim}, kSeveral + "( ) /home/pilot/X-Plane 12\n(x) /Volumes/Sim/X-Plane 12\n" + kButtons},
      {{"pick /home/pilot/../pilot/./X-Plane 12/"}, kSeveral + kAppsRow + "( ) /Volumes/Sim/X-Plane 12\n" + kButtons}}},
    // The locator's order, X-Plane's list first; rows outside the list are ignored.
    {"several_in_order_and_a_row_clicked", {kApps, kShared, kSim, kAmpersand, kLong + "Beta", kLong + "Release"},
     {{{"list " + kSim + "\n" + kAmpersand + "\n" + kLong + "Beta\n" + kLong + "Release", "show window", "click row 5",
        "select row 7"},
       kSeveral + "( ) " + kSim + "\n( ) " + kAmpersand + "\n( ) " + kLong + "Beta\n( ) " + kLong + "Release\n" +
           "( ) /home/pilot/X-Plane 12\n(x) " + kShared + "\n" + kButtons}}},
    {"already_installed_replaced", {kApps + "+"},
     {{{"show window"}, kOne + kAppsRow +
                            "12 grey: TAVRO is already installed here. Installing again will replace it.\n"
                            "[Choose X-Plane 12 Folder…] ~ [Replace TAVRO, default]\n"},
      {{"press Enter"}, kHead + "success, spacing 14\n17 bold: TAVRO has been updated.\n" +
                            "13: Open X-Plane 12 and TAVRO will be ready.\n" + kIphone + kOpenButtons}}},
    {"verify_failure_after_a_replace_drops_the_note", {kApps, kShared + "+"},
     {{{"show window", "click row 1", "file " + kPayload + "/" + kPlugin, "press Return"},
       kSeveral + "( ) /home/pilot/X-Plane 12\n(x) " + kShared + "\n" + "12 red: " + kVerifyFailed + "\n" + kButtons}}},
    // Return finds no default button there; Done quits.
    {"xplane_running_asks_for_a_restart_and_offers_only_done", {kShared, kApps},
     {{{"X-Plane runs", "show window", "press Return", "press Return", "click done"},
       kSuccess + "13: X-Plane 12 is open. Quit it completely and open it again, so TAVRO is loaded.\n" + kIphone +
           "~ [Done]\nquit 1\n"}}},
};

struct WindowRow : Window, ::testing::WithParamInterface<Row> {
  void step(const std::string& s) {
    auto arg = [&](const std::string& verb) { return s.rfind(verb + " ", 0) == 0 ? s.substr(verb.size() + 1) : ""; };
    if (s == "show window") {
      open();
    } else if (!arg("list").empty()) {
      writeFile(platform.real(paths::join(platform.home, XPlaneDesktop::kLinux.listFile)), arg("list") + "\n");
    } else if (s == "X-Plane runs") {
      platform.running.emplace();
      for (const std::string& folder : GetParam().xplanes)
        platform.running->push_back({std::nullopt, std::nullopt, platform.identity(Installer::xplaneApp(folder))});
    } else if (s == "runnable program") {
      makeProgram(platform.real(kApps), "/bin/true");
    } else if (s == "unwritable" || s == "writable") {
      platform.fail.erase("write");
      if (s == "unwritable") platform.fail["write"] = EACCES;
    } else if (!arg("X-Plane at").empty()) {
      makeXPlane(platform.real(arg("X-Plane at")));
    } else if (!arg("file").empty()) {
      writeFile(platform.real(arg("file")), "");
    } else if (!arg("remove").empty()) {
      fs::remove_all(platform.real(arg("remove")));
    } else if (s == "press Return" || s == "press Enter") {
      QTest::keyClick(view.get(), s == "press Return" ? Qt::Key_Return : Qt::Key_Enter);
    } else if (!arg("click row").empty()) {  // on the indicator
      QRadioButton* row = shown<QRadioButton>().value(std::stoi(arg("click row")));
      ASSERT_NE(row, nullptr) << s;
      QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(8, row->height() / 2));
    } else if (!arg("select row").empty()) {
      state().select(std::stoul(arg("select row")));
    } else if (!arg("pick").empty() || s == "cancel picker") {
      picker.answer = arg("pick").empty() ? std::nullopt : std::optional<std::string>(arg("pick"));
      click("chooseFolder");
      EXPECT_EQ(picker.asked, "Choose|Select your X-Plane 12 folder — the one containing X-Plane-x86_64.");
    } else if (!arg("click").empty()) {
      click(arg("click"));
    } else if (s == "install") {
      state().install();
    } else if (s == "wait") {
      EXPECT_TRUE(QTest::qWaitFor([&] { return quits > 0 || state().launchError; }, 5000));
    } else {
      ADD_FAILURE() << "no such step: " << s;
    }
  }
};

}  // namespace

TEST_P(WindowRow, ShowsAtEachStop) {
  const Row& r = GetParam();
  for (const std::string& folder : r.xplanes) {
    makeXPlane(platform.real(folder.substr(0, folder.find('+'))));
    if (folder.back() == '+') earlierInstall(platform.real(folder.substr(0, folder.size() - 1)));
  }
  for (std::size_t stop = 0; stop < r.stops.size(); ++stop) {
    for (const std::string& s : r.stops[stop].first) step(s);
    EXPECT_EQ(seen(), r.stops[stop].second) << "stop " << stop;
    // The installed plug-in is the payload's; the success screen carries no message.
    if (state().installed) {
      EXPECT_EQ(readFile(platform.real(state().selected->url + "/Resources/plugins/TAVRO/" + kPlugin)), "plug-in");
    }
    EXPECT_FALSE(state().installed && state().error);
    EXPECT_FALSE(state().working);
    fs::create_directories(TAVRO_SCREENS_DIR);
    std::string png = TAVRO_SCREENS_DIR "/" + std::string(r.name) + "_" + std::to_string(stop + 1) + ".png";
    EXPECT_TRUE(view->grab().save(QString::fromStdString(png))) << png;
  }
}

INSTANTIATE_TEST_SUITE_P(State, WindowRow, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Window, CompletionAfterTheWindowHasGoneIsDropped) {
  makeXPlane(platform.real(kApps));
  open();
  platform.openResult = std::optional<std::string>();  // opened: a window still there would quit
  state().openXPlane();
  view.reset();
  EXPECT_EQ(MainQueue::shared().drain(), 1u);
  EXPECT_EQ(quits, 0);
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
