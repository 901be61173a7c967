// What the installer window shows, worked out from its state as a plain value: the screen, its
// texts with their roles, the picker rows and the buttons.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

enum class Screen { chooser, success };

enum class TextRole {
  heading,    // "TAVRO for X-Plane": 26 pt bold
  title,      // the success headline: 17 pt semibold
  body,       // system font, wrapping
  secondary,  // secondary colour, wrapping
  error,      // red, 12 pt, wrapping
};

struct TextItem {
  TextRole role;
  std::string text;
  bool small = false;  // the 12-point system font
  bool fixed = true;   // a fixed text of the window, looked up for translation; false for texts from state
};

struct PickerItem {
  std::vector<std::string> rows;  // folder paths, in list order
  std::optional<std::size_t> selected;
};

using ScreenItem = std::variant<TextItem, PickerItem>;

enum class Action { chooseFolder, install, done, openXPlane };

struct ButtonItem {
  Action action;
  std::string title;
  bool enabled = true;
  bool isDefault = false;  // the default action, answering Return
};

struct ScreenContent {
  std::string windowTitle;
  TextItem heading;
  Screen screen = Screen::chooser;
  int spacing = 16;                // between the screen's items
  std::vector<ScreenItem> items;   // the screen's column, top to bottom
  std::vector<ButtonItem> leading;   // buttons left of the flexible space
  std::vector<ButtonItem> trailing;  // buttons right of it

  // Every text in order, the heading first.
  std::vector<TextItem> texts() const;
  // The button for an action, or nothing when the screen has none.
  std::optional<ButtonItem> button(Action action) const;
  std::vector<ButtonItem> buttons() const;
};

// The window's outer layout, in points.
inline constexpr int kWindowWidth = 480;
inline constexpr int kWindowMargin = 30;
inline constexpr int kOuterSpacing = 18;
