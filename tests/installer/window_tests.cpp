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
    "error small verbatim: That folder isn't an X-Plane 12 installation. Choose the folder that contains "
    "X-Plane-x86_64.";
const std::string kInstalled = "title: TAVRO is installed.";
const std::string kOpenIt = "body: Open X-Plane 12 and TAVRO will be ready.";
const std::string kIphone = "secondary: Then open TAVRO on your iPhone — it will find this computer by itself.";
const std::string kSuccessButtons = "buttons: ~ [Done] [Open X-Plane, default]";
const std::string kDamaged =
    "error small verbatim: This installer is damaged — the TAVRO add-on is missing. Please download TAVRO again.";
const std::string kAsk = "Select your X-Plane 12 folder — the one containing X-Plane-x86_64.";
const std::string kUnwritable =
    "TAVRO doesn't have permission to change that X-Plane folder. Try a copy of X-Plane in your home folder, or check "
    "the folder's permissions.";

struct FakePicker : FolderPicker {
  std::optional<std::string> answer;  // nothing = cancelled
  std::vector<std::pair<std::string, std::string>> asked;

  std::optional<std::string> pickFolder(const std::string& prompt, const std::string& message) override {
    asked.emplace_back(prompt, message);
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
    if (installed) earlierInstall(platform.real(logical));
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
    for (QPushButton* b : shown<QPushButton>()) {
      EXPECT_EQ(b == view->defaultButton(), b->isDefault()) << b->text().toStdString();
      buttons.push_back(describe(ButtonItem{Action::done, b->text().toStdString(), b->isEnabled(), b->isDefault()}));
    }
    for (const ButtonItem& b : c.buttons()) wantedButtons.push_back(describe(b));
    EXPECT_EQ(buttons, wantedButtons);
  }
  void save(const std::string& name) {
    fs::create_directories(TAVRO_SCREENS_DIR);
    EXPECT_TRUE(view->grab().save(QString::fromStdString(TAVRO_SCREENS_DIR "/" + name + ".png"))) << name;
  }
};

// One row: the X-Plane folders ("+": TAVRO is installed there), then the steps of the machine and the
// user, the window shown at "show window"; and the lines the window shows at the end, with the X-Plane
// programs opened and the quits asked for.
struct Row {
  const char* name;
  Names xplanes;
  Names steps;
  Lines expected;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

const Lines kSuccessLines = {kSuccess, kHeading, kInstalled, kOpenIt, kIphone, kSuccessButtons};
const std::string kSeveral = "picker: (x) " + kSim + " ( ) /home/pilot/X-Plane 12 ( ) " + kShared;
const std::string kLaunchFailed =
    "error small verbatim: TAVRO couldn't open X-Plane 12. Open it yourself and TAVRO will be ready.";
const std::string kOpened = "opened: /home/pilot/X-Plane 12/X-Plane-x86_64";

const Row kRows[] = {
    {"nothing_found", {}, {"show window", "press Return"},
     {kChooser, kHeading, "body: TAVRO couldn't find X-Plane 12 on this computer.",
      "secondary small: Choose the X-Plane 12 folder — the one containing X-Plane-x86_64.",
      "buttons: [Choose X-Plane 12 Folder…] ~ [Install TAVRO, disabled, default]"}},
    // The button is disabled then, but the state must not install into nothing if asked.
    {"install_without_a_selection_is_ignored", {}, {"show window", "install"},
     {kChooser, kHeading, "body: TAVRO couldn't find X-Plane 12 on this computer.",
      "secondary small: Choose the X-Plane 12 folder — the one containing X-Plane-x86_64.",
      "buttons: [Choose X-Plane 12 Folder…] ~ [Install TAVRO, disabled, default]"}},
    {"folder_chosen_after_nothing_found", {}, {"show window", "X-Plane at " + kSim, "pick " + kSim + "/"},
     {kChooser, kHeading, kFoundOne, "picker: (x) /Volumes/Sim/X-Plane 12", kChooserButtons}},
    {"one_found_is_selected", {kApps}, {"show window"}, {kChooser, kHeading, kFoundOne, kAppsRow, kChooserButtons}},
    {"several_in_the_locators_order", {kApps, kShared, kSim}, {"list " + kSim, "show window"},
     {kChooser, kHeading, kFoundSeveral, kSeveral, kChooserButtons}},
    {"several_and_a_row_clicked", {kApps, kShared, kSim},
     {"list " + kSim, "show window", "click row 2", "select row 7"},
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) " + kSim + " ( ) /home/pilot/X-Plane 12 (x) " + kShared,
      kChooserButtons}},
    {"listed_folder_chosen_again_is_selected_once", {kApps, kShared},
     {"show window", "pick /home/pilot/../pilot/./Desktop/X-Plane 12/"},
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) /home/pilot/X-Plane 12 (x) " + kShared, kChooserButtons}},
    // An empty folder, a file and a missing folder: none is listed. The message stays through a change
    // of selection and a cancelled picker.
    {"not_an_xplane_folder", {kApps},
     {"folder /Volumes/Empty", "file /Volumes/file.txt", "show window", "pick /Volumes/Empty", "pick /Volumes/file.txt",
      "pick /Volumes/Gone", "click row 0", "cancel picker"},
     {kChooser, kHeading, kFoundOne, kAppsRow, kNotXPlane, kChooserButtons}},
    {"valid_folder_clears_the_message", {kApps, kSim}, {"show window", "pick /Volumes/Gone", "pick " + kSim},
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) /home/pilot/X-Plane 12 (x) " + kSim, kChooserButtons}},
    {"installed_by_return", {kApps}, {"show window", "press Return"}, kSuccessLines},
    // Opening X-Plane quits once it has opened: the completion arrives later, on the main queue.
    {"open_waits_for_the_completion", {kApps}, {"runnable program", "show window", "press Return", "open X-Plane"},
     {kSuccess, kHeading, kInstalled, kOpenIt, kIphone, kSuccessButtons, kOpened}},
    {"opened_quits", {kApps}, {"runnable program", "show window", "press Return", "open X-Plane", "wait"},
     {kSuccess, kHeading, kInstalled, kOpenIt, kIphone, kSuccessButtons, kOpened, "quit 1"}},
    {"already_installed_offers_replace", {kApps + "+"}, {"show window"},
     {kChooser, kHeading, kFoundOne, kAppsRow,
      "secondary small: TAVRO is already installed here. Installing again will replace it.",
      "buttons: [Choose X-Plane 12 Folder…] ~ [Replace TAVRO, default]"}},
    {"replaced_reads_updated", {kApps + "+"}, {"show window", "press Enter"},
     {kSuccess, kHeading, "title: TAVRO has been updated.", kOpenIt, kIphone, kSuccessButtons}},
    // Return finds no default button there; Done quits.
    {"xplane_running_asks_for_a_restart_and_offers_only_done", {kShared, kApps},
     {"X-Plane runs", "show window", "press Return", "press Return", "click done"},
     {kSuccess, kHeading, kInstalled,
      "body: X-Plane 12 is open. Quit it completely and open it again, so TAVRO is loaded.", kIphone,
      "buttons: ~ [Done]", "quit 1"}},
    // The fake folder's program is an empty file that cannot be run: our text, not the system's.
    {"failed_open_shows_our_text", {kApps}, {"show window", "press Return", "press Return", "wait"},
     {kSuccess, kHeading, kInstalled, kOpenIt, kIphone, kLaunchFailed, kSuccessButtons, kOpened}},
    {"next_try_clears_the_text_before_its_completion", {kApps},
     {"show window", "press Return", "press Return", "wait", "open X-Plane"},
     {kSuccess, kHeading, kInstalled, kOpenIt, kIphone, kSuccessButtons, kOpened, kOpened}},
    {"verify_failure_after_a_replace_drops_the_note_and_keeps_the_chooser", {kApps, kShared + "+"},
     {"show window", "click row 1", "empty payload", "press Return"},
     {kChooser, kHeading, kFoundSeveral, "picker: ( ) /home/pilot/X-Plane 12 (x) " + kShared,
      "error small verbatim: TAVRO was copied but didn't look right afterwards, so it was removed. Please try again.",
      kChooserButtons}},
    {"missing_payload_shown_at_once", {kApps}, {"no payload", "show window"},
     {kChooser, kHeading, kFoundOne, kAppsRow, kDamaged, kChooserButtons}},
    {"missing_payload_shown_again_on_install", {kApps}, {"no payload", "show window", "press Return"},
     {kChooser, kHeading, kFoundOne, kAppsRow, kDamaged, kChooserButtons}},
    {"folder_gone_before_the_install", {kApps}, {"show window", "remove " + kApps, "press Return"},
     {kChooser, kHeading, kFoundOne, kAppsRow, kNotXPlane, kChooserButtons}},
    {"unwritable_folder", {kApps}, {"show window", "unwritable", "press Return"},
     {kChooser, kHeading, kFoundOne, kAppsRow, "error small verbatim: " + kUnwritable, kChooserButtons}},
    {"retry_after_an_unwritable_folder", {kApps},
     {"show window", "unwritable", "press Return", "writable", "press Return"},
     kSuccessLines},
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
    } else if (s == "no payload") {
      platform.resource.reset();
    } else if (s == "empty payload") {
      makePayload(platform.real(kPayload), "");
    } else if (s == "unwritable" || s == "writable") {
      platform.writable = s == "writable" ? std::nullopt : std::optional<bool>(false);
    } else if (!arg("X-Plane at").empty()) {
      makeXPlane(platform.real(arg("X-Plane at")));
    } else if (!arg("folder").empty()) {
      fs::create_directories(platform.real(arg("folder")));
    } else if (!arg("file").empty()) {
      writeFile(platform.real(arg("file")), "not a folder");
    } else if (!arg("remove").empty()) {
      fs::remove_all(platform.real(arg("remove")));
    } else if (s == "press Return" || s == "press Enter") {
      QTest::keyClick(view.get(), s == "press Return" ? Qt::Key_Return : Qt::Key_Enter);
    } else if (!arg("click row").empty()) {
      clickRow(std::stoi(arg("click row")));
    } else if (!arg("select row").empty()) {
      state().select(std::stoul(arg("select row")));
    } else if (!arg("pick").empty() || s == "cancel picker") {
      picker.answer = arg("pick").empty() ? std::nullopt : std::optional<std::string>(arg("pick"));
      click("chooseFolder");
      EXPECT_EQ(picker.asked.back(), std::make_pair(std::string("Choose"), kAsk));
    } else if (s == "click done") {
      click("done");
    } else if (s == "install") {
      state().install();
    } else if (s == "open X-Plane") {
      state().openXPlane();
    } else if (s == "wait") {
      EXPECT_TRUE(QTest::qWaitFor([&] { return quits > 0 || state().launchError; }, 5000));
    } else {
      ADD_FAILURE() << "no such step: " << s;
    }
  }
};

}  // namespace

TEST_P(WindowRow, ShowsItsLines) {
  const Row& r = GetParam();
  for (const std::string& folder : r.xplanes) xplane(folder.substr(0, folder.find('+')), folder.back() == '+');
  for (const std::string& s : r.steps) step(s);
  Lines shown = lines();
  for (const std::string& app : platform.opened) shown.push_back("opened: " + app);
  if (quits) shown.push_back("quit " + std::to_string(quits));
  EXPECT_EQ(shown, r.expected);
  expectShowsContent();
  // The installed plug-in is the payload's; the success screen carries no message.
  if (state().installed) {
    std::string folder = platform.real(state().selected->url);
    EXPECT_EQ(readFile(folder + "/Resources/plugins/TAVRO/" + std::string(Installer::pluginFile)), "plug-in");
  }
  EXPECT_FALSE(state().installed && state().error);
  EXPECT_FALSE(state().working);
  save(r.name);
}

INSTANTIATE_TEST_SUITE_P(State, WindowRow, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// "&" is shown and takes no shortcut; long paths are cut in the middle, whole in the tooltip, and two
// of them still tell apart.
TEST_F(Window, FolderPathsShowAsTheyAre) {
  for (const std::string& folder : {kAmpersand, kLongA, kLongB}) xplane(folder);
  writeFile(platform.real(paths::join(platform.home, XPlaneDesktop::kLinux.listFile)),
            kAmpersand + "\n" + kLongA + "\n" + kLongB + "\n");
  open();
  EXPECT_EQ(lines()[3], "picker: (x) " + kAmpersand + " ( ) " + kLongA + " ( ) " + kLongB);
  expectShowsContent();
  auto rows = shown<QRadioButton>();
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0]->text().toStdString(), "/data/Sims && Games/X-Plane 12");  // "&&" is one "&" shown
  EXPECT_TRUE(rows[0]->shortcut().isEmpty());
  for (int i : {1, 2}) {
    std::string shown = rows[i]->text().toStdString();
    EXPECT_NE(shown.find("\u2026"), std::string::npos) << shown;
    EXPECT_EQ(shown.rfind("/mnt/disk-", 0), 0u) << shown;
  }
  EXPECT_NE(rows[1]->text(), rows[2]->text());
  save("folder_paths_show_as_they_are");
}

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
