// Path standardisation, UTF-8 checks, and the system's platform services on real folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "paths.h"
#include "test_support.h"

using namespace testing_support;

TEST(Paths, StandardizeResolvesDotsSeparatorsAndRelativePaths) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"/Applications/X-Plane 12/", "/Applications/X-Plane 12"},
      {"/a/./b/../c", "/a/c"},
      {"/a//b///c//", "/a/b/c"},
      {"/..", "/"},
      {"/../../x", "/x"},
      {"/", "/"},
      {"rel/./x", "/work/rel/x"},
      {"../up", "/up"},
      {"", "/work"},
      {"/a/b/..", "/a"},
      {"//a/./b/", "/a/b"},
  };
  for (const Case& c : cases) EXPECT_EQ(paths::standardize(c.path, "/work"), c.expected) << c.path;
}

TEST(Paths, Utf8ValidationIsStrict) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"plain /Applications/X-Plane 12", true},
      {"\xE2\x80\x94 em dash, \xF0\x9F\x9B\xA9 plane", true},
      {"", true},
      {"\xC0\x80", false},          // overlong NUL
      {"\xE0\x80\xAF", false},      // overlong slash
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x80", false},          // cut short
      {"\x80", false},              // stray continuation byte
      {"\xFF", false},
  };
  for (const Case& c : cases) EXPECT_EQ(paths::isValidUtf8(c.text), c.valid) << c.text;
}

TEST(Paths, TrimRemovesTabsAndSpaceSeparatorsButNotLineBreaks) {
  EXPECT_EQ(paths::trimWhitespace(" \t/Volumes/X/X-Plane 12\t "), "/Volumes/X/X-Plane 12");
  EXPECT_EQ(paths::trimWhitespace("\xC2\xA0\xE3\x80\x80/x\xE2\x80\x89"), "/x");  // NBSP, ideographic, thin
  EXPECT_EQ(paths::trimWhitespace("/x\r"), "/x\r");
  EXPECT_EQ(paths::trimWhitespace(" \t \xE2\x80\x80 "), "");
  EXPECT_EQ(paths::trimWhitespace("a b"), "a b");
}

class Platform : public ::testing::Test {
 protected:
  TempDir tmp;
  SystemPlatform platform;
  std::string at(const std::string& rel) { return tmp.Path() + "/" + rel; }
};

TEST_F(Platform, CopyItemCopiesWholeTreeAndRefusesAnExistingDestination) {
  writeFile(at("src/lin_x64/TAVRO.xpl"), "plugin");
  writeFile(at("src/data/deep/readme.txt"), "");
  ::chmod(at("src/lin_x64/TAVRO.xpl").c_str(), 0755);
  fs::create_symlink("lin_x64/TAVRO.xpl", at("src/link"));

  platform.copyItem(at("src"), at("dst"));
  EXPECT_EQ(snapshot(at("dst")), snapshot(at("src")));
  struct stat st;
  ASSERT_EQ(::stat(at("dst/lin_x64/TAVRO.xpl").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  EXPECT_THROW(platform.copyItem(at("src"), at("dst")), PlatformError);
  EXPECT_THROW(platform.copyItem(at("missing"), at("dst2")), PlatformError);
  EXPECT_FALSE(fs::exists(at("dst2")));
}

TEST_F(Platform, MoveItemRenamesAndRefusesAnExistingName) {
  writeFile(at("a/f"), "1");
  writeFile(at("b/f"), "2");
  EXPECT_THROW(platform.moveItem(at("a"), at("b")), PlatformError);
  EXPECT_EQ(readFile(at("b/f")), "2");
  platform.moveItem(at("a"), at("c"));
  EXPECT_FALSE(fs::exists(at("a")));
  EXPECT_EQ(readFile(at("c/f")), "1");
}

class RefusingPlatform : public SystemPlatform {
 protected:
  int exchange(const std::string&, const std::string&) override { return EINVAL; }
};

TEST_F(Platform, ReplaceItemSwapsInOneStepOrSetsTheOldAsideWithoutLeftovers) {
  RefusingPlatform refusing;
  for (SystemPlatform* services : {&platform, static_cast<SystemPlatform*>(&refusing)}) {
    fs::remove_all(at("plugins"));
    writeFile(at("plugins/TAVRO/lin_x64/TAVRO.xpl"), "old");
    writeFile(at("plugins/TAVRO/only-old.txt"), "old");
    writeFile(at("plugins/TAVRO.installing-0A1B2C3D/lin_x64/TAVRO.xpl"), "new");

    services->replaceItem(at("plugins/TAVRO"), at("plugins/TAVRO.installing-0A1B2C3D"));
    EXPECT_EQ(entries(at("plugins")), std::vector<std::string>{"TAVRO"});
    EXPECT_EQ(snapshot(at("plugins/TAVRO")),
              (std::map<std::string, std::string>{{"lin_x64", "dir"}, {"lin_x64/TAVRO.xpl", "new"}}));
  }
}

TEST_F(Platform, ReadFileAnswersEveryKindOfBadInput) {
  writeFile(at("ok"), "/Applications/X-Plane 12\n\xFC\n");
  writeFile(at("big"), std::string(4097, 'a'));
  fs::create_directories(at("folder"));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0644), 0);
  fs::create_symlink(at("loop"), at("loop"));

  EXPECT_EQ(platform.readFile(at("ok"), 4096), "/Applications/X-Plane 12\n\xFC\n");
  EXPECT_EQ(platform.readFile(at("big"), 4096), std::nullopt);
  EXPECT_EQ(platform.readFile(at("big"), 4097), std::string(4097, 'a'));
  for (const char* bad : {"folder", "missing", "fifo", "loop"})
    EXPECT_EQ(platform.readFile(at(bad), 4096), std::nullopt) << bad;  // a FIFO returns at once
}

// Like every Linux program: $HOME when it is an absolute path, the password database otherwise.
TEST_F(Platform, HomeIsTheEnvironmentsWhenAbsolute) {
  std::optional<std::string> saved = platform.environment("HOME");
  ::unsetenv("HOME");
  std::string fromDatabase = platform.homeDirectory();
  EXPECT_EQ(fromDatabase.front(), '/');
  struct Case {
    const char* home;
    std::string expected;
  } cases[] = {{"/srv/pilot/../pilot2/", "/srv/pilot2/"}, {"", fromDatabase}, {"relative/home", fromDatabase}};
  for (const Case& c : cases) {
    ::setenv("HOME", c.home, 1);
    EXPECT_EQ(platform.homeDirectory(), c.expected) << c.home;
  }
  if (saved) ::setenv("HOME", saved->c_str(), 1);
}

TEST_F(Platform, RandomUUIDIsCanonicalUpperCaseAndFresh) {
  std::regex canonical("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::string a = platform.randomUUID(), b = platform.randomUUID();
  EXPECT_TRUE(std::regex_match(a, canonical)) << a;
  EXPECT_TRUE(std::regex_match(b, canonical)) << b;
  EXPECT_NE(a, b);
}

TEST_F(Platform, ResourceFolderLiesBesideTheExecutable) {
  EXPECT_EQ(platform.resourceFolder("no such resource"), std::nullopt);
  auto self = platform.resourceFolder("installer_core_tests");
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(fs::path(*self).filename(), "installer_core_tests");
}
