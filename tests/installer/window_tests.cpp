// The installer window, real and offscreen, with the real install engine on temporary X-Plane folders:
// one row per state the user can bring it to through its keys, buttons and folder picker, with the
// screen's exact lines, and the widgets showing exactly those. Each screen is saved as a PNG in the
// build folder for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextDocumentFragment>
#include <deque>

#include "installer.h"
#include "installer_view.h"
#include "main_queue.h"
#include "platform_wording.h"
#include "tavro_installer_app.h"
#include "test_support.h"

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace {

const std::string kApps = "/home/pilot/X-Plane 12";
const std::string kShared = "/home/pilot/Desktop/X-Plane 12";
const std::string kSim = "/Volumes/Sim/X-Plane 12";
const std::string kPayload = "/Installer/Resources/TAVRO";
const std::string kAmpersand = "/data/Sims & Games/X-Plane 12";
const std::string kLongA = "/mnt/disk-one/" + std::string(60, 'a') + "/Library/Flight Simulators/X-Plane 12 Beta";
const std::string kLongB = "/mnt/disk-two/" + std::string(60, 'a') + "/Library/Flight Simulators/X-Plane 12 Release";

const std::string kChooser = "screen: chooser, spacing 16";
const std::string kSuccess = "screen: success, spacing 14";
const std::string kHeading = "heading: TAVRO for X-Plane";
const std::string kFoundOne = "body: Found X-Plane 12 here:";
const std::string kFoundSeveral = "body: Choose your X-Plane 12:";
const std::string kAppsRow = "picker: (x) /home/pilot/X-Plane 12";
const std::string kChooserButtons = "buttons: [Choose X-Plane 12 Folder…] ~ [Install TAVRO, default]";
const std::string kNotXPlane =
    "error small verbatim: That folder isn't an X-Plane 12 installation. Choose the folder that contains X-Plane-x86_64.";
const std::string kInstalled = "title: TAVRO is installed.";
const std::string kOpenIt = "body: Open X-Plane 12 and TAVRO will be ready.";
const std::string kIphone = "secondary: Then open TAVRO on your iPhone — it will find this computer by itself.";
const std::string kSuccessButtons = "buttons: ~ [Done] [Open X-Plane, default]";
const std::string kUnwritable =
    "TAVRO doesn't have permission to change that X-Plane folder. Try a copy of X-Plane in your home folder, or check "
    "the folder's permissions.";

class FakePicker : public FolderPicker {
 public:
  std::deque<std::optional<std::string>> answers;  // nothing = cancelled
  std::vector<std::pair<std::string, std::string>> asked;

  std::optional<std::string> pickFolder(const std::string& prompt, const std::string& message) override {
    asked.emplace_back(prompt, message);
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

std::string describe(const ButtonItem& b) {
  return "[" + b.title + (b.enabled ? "" : ", disabled") + (b.isDefault ? ", default" : "") + "]";
}

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
    settle();
  }
  static void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
  void xplane(const std::string& logical, bool installed = false) {
    makeXPlane(platform.real(logical));
    if (installed) writeFile(platform.real(logical + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile)), "old");
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
    settle();
    QList<W*> widgets;
    for (W* w : view->findChildren<W*>())
      if (w->isVisible()) widgets.push_back(w);
    return widgets;
  }
  QPushButton* button(const char* action) {
    for (QPushButton* b : shown<QPushButton>())
      if (b->objectName() == action) return b;
    return nullptr;
  }
  void click(const char* action) {
    ASSERT_NE(button(action), nullptr) << action;
    QTest::mouseClick(button(action), Qt::LeftButton);
  }
  void clickRow(int row) {  // on the indicator
    auto rows = shown<QRadioButton>();
    ASSERT_GT(rows.size(), row);
    QTest::mouseClick(rows[row], Qt::LeftButton, {}, QPoint(8, rows[row]->height() / 2));
  }
  void key(Qt::Key key = Qt::Key_Return) { QTest::keyClick(view.get(), key); }
  void pick(std::optional<std::string> answer) {
    picker.answers = {answer};
    click("chooseFolder");
  }

  // "screen: ..., spacing N", one line per item with the text as the window words it, then
  // "buttons: [..] ~ [..]" with ~ for the flexible space.
  Lines lines() {
    static const char* const kRoles[] = {"heading", "title", "body", "secondary", "error"};
    ScreenContent c = state().content();
    Lines out{std::string("screen: ") + (c.screen == Screen::chooser ? "chooser" : "success") + ", spacing " +
              std::to_string(c.spacing)};
    for (const ScreenItem& item : c.items) {
      if (const TextItem* t = std::get_if<TextItem>(&item)) {
        out.push_back(std::string(kRoles[static_cast<int>(t->role)]) + (t->small ? " small" : "") +
                      (t->fixed ? "" : " verbatim") + ": " + windowText(*t).toStdString());
        continue;
      }
      const PickerItem& p = std::get<PickerItem>(item);
      out.push_back("picker:");
      for (std::size_t i = 0; i < p.rows.size(); ++i) out.back() += (p.selected == i ? " (x) " : " ( ) ") + p.rows[i];
    }
    out.insert(out.begin() + 1, "heading: " + windowText(c.heading).toStdString());
    out.push_back("buttons:");
    for (const ButtonItem& b : c.leading) out.back() += " " + describe(b);
    out.back() += " ~";
    for (const ButtonItem& b : c.trailing) out.back() += " " + describe(b);
    return out;
  }

  // The window shows exactly the content: its texts in their fonts, never cut, the rows and the buttons.
  void expectShowsContent() {
    settle();
    ScreenContent c = state().content();
    EXPECT_EQ(view->windowTitle().toStdString(), "Install TAVRO");
    EXPECT_EQ(view->width(), kWindowWidth);
    EXPECT_EQ(view->layout()->contentsMargins(), QMargins(30, 30, 30, 30));
    EXPECT_EQ(view->layout()->spacing(), 18);
    QWidget* screen = view->findChild<QWidget*>(c.screen == Screen::chooser ? "chooser" : "success");
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->layout()->spacing(), c.spacing);

    std::vector<TextItem> texts = c.texts();
    auto labels = shown<QLabel>();
    ASSERT_EQ(labels.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const TextItem& t = texts[i];
      QLabel* label = labels[i];
      EXPECT_EQ(label->text(), windowText(t));
      EXPECT_TRUE(label->wordWrap());
      EXPECT_GE(label->height(), label->heightForWidth(label->width())) << t.text;
      int points = t.small ? 12 : t.role == TextRole::heading ? 26 : t.role == TextRole::title ? 17 : 13;
      EXPECT_EQ(label->font().pointSize(), points) << t.text;
      EXPECT_EQ(label->font().bold(), t.role == TextRole::heading || t.role == TextRole::title) << t.text;
      EXPECT_EQ(label->palette().color(QPalette::WindowText) == QColor(Qt::red), t.role == TextRole::error) << t.text;
    }

    Lines rows, buttons, wantedButtons;
    int checked = -1;
    for (QRadioButton* row : shown<QRadioButton>()) {
      rows.push_back(QTextDocumentFragment::fromHtml(row->toolTip()).toPlainText().toStdString());  // the whole path
      EXPECT_LE(row->sizeHint().width(), kWindowWidth - 2 * kWindowMargin) << rows.back();
      if (row->isChecked()) checked = static_cast<int>(rows.size()) - 1;
    }
    const PickerItem* picker = nullptr;
    for (const ScreenItem& item : c.items) picker = picker ? picker : std::get_if<PickerItem>(&item);
    EXPECT_EQ(rows, picker ? picker->rows : Lines{});
    EXPECT_EQ(checked, picker && picker->selected ? static_cast<int>(*picker->selected) : -1);
    for (QPushButton* b : shown<QPushButton>())
      buttons.push_back(describe(ButtonItem{Action::done, b->text().toStdString(), b->isEnabled(), b->isDefault()}));
    for (const ButtonItem& b : c.buttons()) wantedButtons.push_back(describe(b));
    EXPECT_EQ(buttons, wantedButtons);
  }
  void save(const std::string& name) {
    fs::create_directories(TAVRO_SCREENS_DIR);
    EXPECT_TRUE(view->grab().save(QString::fromStdString(TAVRO_SCREENS_DIR "/" + name + ".png"))) << name;
  }
};

struct Row {
  const char* name;
  std::function<void(Window&)> before;  // the machine before the window opens
  std::function<void(Window&)> act;     // what the user does
  Lines expected;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

const Row kRows[] = {
    {"nothing_found", {},
     [](Window& t) {
       t.key();  // the disabled default button: nothing happens
       EXPECT_FALSE(t.state().error.has_value());
     },
     {kChooser, kHeading, "body: TAVRO couldn't find X-Plane 12 on this computer.",
      "secondary small: Choose the X-Plane 12 folder — the one containing X-Plane-x86_64.",
      "buttons: [Choose X-Plane 12 Folder…] ~ [Install TAVRO, disabled, default]"}},
    {"folder_chosen_after_nothing_found", {},
     [](Window& t) {
       t.xplane(kSim);
       t.pick(kSim + "/");
       EXPECT_EQ(t.picker.asked, (std::vector<std::pair<std::string, std::string>>{
                                     {"Choose", "Select your X-Plane 12 folder — the one containing X-Plane-x86_64."}}));
     },
     {kChooser, kHeading, kFoundOne, "picker: (x) /Volumes/Sim/X-Plane 12", kChooserButtons}},
    {"one_found_is_selected", [](Window& t) { t.xplane(kApps); },
     [](Window& t) { EXPECT_EQ(t.view->defaultButton(), t.button("install")); },
     {kChooser, kHeading, kFoundOne, kAppsRow, kChooserButtons}},
    {"several_in_the_locators_order_and_a_row_clicked",
     [](Window& t) {
       for (const std::string& folder : {kApps, kShared, kSim}) t.xplane(folder);
       writeFile(t.platform.real(paths::join(t.platform.home, XPlaneDesktop::kLinux.listFile)), kSim + "\n");
     },
     [](Window& t) {
       EXPECT_EQ(t.lines()[3], "picker: (x) /Volumes/Sim/X-Plane 12 ( ) /home/pilot/X-Plane 12 ( ) " + kShared);
       t.clickRow(2);
       t.state().select(7);  // no such row
     },
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) " + kSim + " ( ) /home/pilot/X-Plane 12 (x) " + kShared,
      kChooserButtons}},
    {"listed_folder_chosen_again_is_selected_once",
     [](Window& t) {
       t.xplane(kApps);
       t.xplane(kShared);
     },
     [](Window& t) { t.pick("/home/pilot/../pilot/./Desktop/X-Plane 12/"); },
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) /home/pilot/X-Plane 12 (x) " + kShared, kChooserButtons}},
    // The message stays through a change of selection and a cancelled picker.
    {"not_an_xplane_folder",
     [](Window& t) {
       t.xplane(kApps);
       fs::create_directories(t.platform.real("/Volumes/Empty"));
       writeFile(t.platform.real("/Volumes/file.txt"), "not a folder");
     },
     [](Window& t) {
       for (const char* bad : {"/Volumes/Empty", "/Volumes/file.txt", "/Volumes/Gone"}) {
         t.pick(std::string(bad));
         EXPECT_EQ(t.lines()[4], kNotXPlane) << bad;
         EXPECT_EQ(t.state().installs.size(), 1u) << bad;
       }
       t.clickRow(0);
       t.pick(std::nullopt);
     },
     {kChooser, kHeading, kFoundOne, kAppsRow, kNotXPlane, kChooserButtons}},
    {"valid_folder_clears_the_message",
     [](Window& t) {
       t.xplane(kApps);
       t.xplane(kSim);
     },
     [](Window& t) {
       t.pick(std::string("/Volumes/Gone"));
       t.pick(kSim);
     },
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) /home/pilot/X-Plane 12 (x) " + kSim, kChooserButtons}},
    // Opening X-Plane quits once it has opened: the completion arrives later, on the main queue.
    {"installed_then_opened",
     [](Window& t) {
       t.xplane(kApps);
       makeProgram(t.platform.real(kApps), "/bin/true");
     },
     [](Window& t) {
       t.key();
       EXPECT_FALSE(t.state().working);
       EXPECT_EQ(readFile(t.platform.real(kApps + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile))),
                 "plug-in");
       t.state().openXPlane();
       EXPECT_EQ(t.platform.opened, Names{Installer::xplaneApp(kApps)});
       EXPECT_EQ(t.quits, 0);
       EXPECT_TRUE(QTest::qWaitFor([&] { return t.quits == 1; }, 5000));
     },
     {kSuccess, kHeading, kInstalled, kOpenIt, kIphone, kSuccessButtons}},
    {"already_installed_offers_replace", [](Window& t) { t.xplane(kApps, true); }, {},
     {kChooser, kHeading, kFoundOne, kAppsRow,
      "secondary small: TAVRO is already installed here. Installing again will replace it.",
      "buttons: [Choose X-Plane 12 Folder…] ~ [Replace TAVRO, default]"}},
    {"replaced_reads_updated", [](Window& t) { t.xplane(kApps, true); }, [](Window& t) { t.key(Qt::Key_Enter); },
     {kSuccess, kHeading, "title: TAVRO has been updated.", kOpenIt, kIphone, kSuccessButtons}},
    {"xplane_running_asks_for_a_restart_and_offers_only_done",
     [](Window& t) {
       t.xplane(kApps);
       t.xplane(kShared);
       t.platform.running = std::vector<RunningApplication>{
           {std::nullopt, std::nullopt, t.platform.identity(Installer::xplaneApp(kShared))},
           {std::nullopt, std::nullopt, t.platform.identity(Installer::xplaneApp(kApps))}};
     },
     [](Window& t) {
       t.key();
       t.key();  // no default action on this screen
       EXPECT_EQ(t.quits, 0);
       t.click("done");
       EXPECT_EQ(t.quits, 1);
     },
     {kSuccess, kHeading, kInstalled,
      "body: X-Plane 12 is open. Quit it completely and open it again, so TAVRO is loaded.", kIphone,
      "buttons: ~ [Done]"}},
    // The fake folder's program is an empty file that cannot be run: our text, not the system's; the
    // next try clears it at once, before its own completion arrives.
    {"failed_open_shows_our_text_and_the_next_try_clears_it_first", [](Window& t) { t.xplane(kApps); },
     [](Window& t) {
       t.key();
       t.key();
       EXPECT_TRUE(QTest::qWaitFor([&] { return t.state().launchError.has_value(); }, 5000));
       t.state().openXPlane();
       EXPECT_EQ(t.lines().size(), 6u);
       t.expectShowsContent();
       EXPECT_TRUE(QTest::qWaitFor([&] { return t.state().launchError.has_value(); }, 5000));
       EXPECT_EQ(t.quits, 0);
     },
     {kSuccess, kHeading, kInstalled, kOpenIt, kIphone,
      "error small verbatim: TAVRO couldn't open X-Plane 12. Open it yourself and TAVRO will be ready.",
      kSuccessButtons}},
    {"verify_failure_after_a_replace_drops_the_note_and_keeps_the_chooser",
     [](Window& t) {
       t.xplane(kApps);
       t.xplane(kShared, true);
     },
     [](Window& t) {
       t.clickRow(1);
       makePayload(t.platform.real(kPayload), "");
       t.key();
     },
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) /home/pilot/X-Plane 12 (x) " + kShared,
      "error small verbatim: TAVRO was copied but didn't look right afterwards, so it was removed. Please try again.",
      kChooserButtons}},
    {"missing_payload_shown_at_once_and_again_on_install",
     [](Window& t) {
       t.xplane(kApps);
       t.platform.resource.reset();
     },
     [](Window& t) {
       EXPECT_TRUE(t.state().error.has_value());
       t.key();
       EXPECT_FALSE(fs::exists(t.platform.real(kApps + "/Resources/plugins/TAVRO")));
     },
     {kChooser, kHeading, kFoundOne, kAppsRow,
      "error small verbatim: This installer is damaged — the TAVRO add-on is missing. Please download TAVRO again.",
      kChooserButtons}},
    {"folder_gone_before_the_install", [](Window& t) { t.xplane(kApps); },
     [](Window& t) {
       fs::remove_all(t.platform.real(kApps));
       t.key();
     },
     {kChooser, kHeading, kFoundOne, kAppsRow, kNotXPlane, kChooserButtons}},
    {"unwritable_folder_then_a_retry_clears_the_message", [](Window& t) { t.xplane(kApps); },
     [](Window& t) {
       t.platform.writable = false;
       t.key();
       EXPECT_EQ(t.state().error, kUnwritable);
       t.platform.writable.reset();
       t.key();
       EXPECT_FALSE(t.state().error.has_value());
     },
     {kSuccess, kHeading, kInstalled, kOpenIt, kIphone, kSuccessButtons}},
    // "&" is shown and takes no shortcut; long paths are cut in the middle, whole in the tooltip, and
    // two of them still tell apart.
    {"folder_paths_show_as_they_are",
     [](Window& t) {
       for (const std::string& folder : {kAmpersand, kLongA, kLongB}) t.xplane(folder);
       writeFile(t.platform.real(paths::join(t.platform.home, XPlaneDesktop::kLinux.listFile)),
                 kAmpersand + "\n" + kLongA + "\n" + kLongB + "\n");
     },
     [](Window& t) {
       auto rows = t.shown<QRadioButton>();
       ASSERT_EQ(rows.size(), 3);
       EXPECT_EQ(rows[0]->text().toStdString(), "/data/Sims && Games/X-Plane 12");  // "&&" is one "&" shown
       EXPECT_TRUE(rows[0]->shortcut().isEmpty());
       for (int i : {1, 2}) {
         std::string shown = rows[i]->text().toStdString();
         EXPECT_NE(shown.find("\u2026"), std::string::npos) << shown;
         EXPECT_EQ(shown.rfind("/mnt/disk-", 0), 0u) << shown;
       }
       EXPECT_NE(rows[1]->text(), rows[2]->text());
     },
     {kChooser, kHeading, kFoundSeveral, "picker: (x) " + kAmpersand + " ( ) " + kLongA + " ( ) " + kLongB,
      kChooserButtons}},
};

struct WindowRow : Window, ::testing::WithParamInterface<Row> {};

}  // namespace

TEST_P(WindowRow, ShowsItsLines) {
  const Row& r = GetParam();
  if (r.before) r.before(*this);
  open();
  if (r.act) r.act(*this);
  EXPECT_EQ(lines(), r.expected);
  expectShowsContent();
  save(r.name);
}

INSTANTIATE_TEST_SUITE_P(State, WindowRow, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Window, CompletionAfterTheWindowHasGoneIsDropped) {
  xplane(kApps);
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
