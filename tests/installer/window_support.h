// Helpers for the window tests: a folder picker the test answers, and screen content as lines
// that compare with a readable difference.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "installer_view_state.h"

namespace testing_support {

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

inline std::string roleName(TextRole role) {
  switch (role) {
    case TextRole::heading: return "heading";
    case TextRole::title: return "title";
    case TextRole::body: return "body";
    case TextRole::secondary: return "secondary";
    case TextRole::error: return "error";
  }
  return "?";
}

inline std::string describe(const ButtonItem& b) {
  std::string out = "[" + b.title;
  if (!b.enabled) out += ", disabled";
  if (b.isDefault) out += ", default";
  return out + "]";
}

// "screen: ..., spacing N", one line per item, then "buttons: [..] ~ [..]" with ~ for the flexible space.
inline std::vector<std::string> describe(const ScreenContent& c) {
  std::vector<std::string> lines{std::string("screen: ") + (c.screen == Screen::chooser ? "chooser" : "success") +
                                 ", spacing " + std::to_string(c.spacing)};
  auto text = [](const TextItem& t) {
    return roleName(t.role) + (t.small ? " small" : "") + (t.fixed ? "" : " verbatim") + ": " + t.text;
  };
  lines.push_back(text(c.heading));
  for (const ScreenItem& item : c.items) {
    if (const TextItem* t = std::get_if<TextItem>(&item)) {
      lines.push_back(text(*t));
      continue;
    }
    const PickerItem& p = std::get<PickerItem>(item);
    std::string line = "picker:";
    for (std::size_t i = 0; i < p.rows.size(); ++i) line += (p.selected == i ? " (x) " : " ( ) ") + p.rows[i];
    lines.push_back(line);
  }
  std::string buttons = "buttons:";
  for (const ButtonItem& b : c.leading) buttons += " " + describe(b);
  buttons += " ~";
  for (const ButtonItem& b : c.trailing) buttons += " " + describe(b);
  lines.push_back(buttons);
  return lines;
}

}  // namespace testing_support
