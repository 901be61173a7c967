// DNS-SD discovery against a real avahi-daemon in a network namespace of the test's own.
#include <chrono>
#include <regex>
#include <thread>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

std::string Browse() {
  FILE *p = popen("timeout 10 avahi-browse -rptk _zodavidoreraz._udp 2>/dev/null", "r");
  std::string out;
  if (!p) return out;
  char buf[1024];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

// Runs frames in real time until the advertisement line appears or ten seconds pass.
std::string AwaitAdvertisement() {
  const size_t from = simxp::LogLines().size();
  for (int i = 0; i < 1000; ++i) {
    simxp::RunFrame(1.0f / 60.0f);
    auto lines = simxp::LogLines();
    for (size_t k = from; k < lines.size(); ++k)
      if (lines[k].rfind("CVHT: advertising as ", 0) == 0 || lines[k].rfind("CVHT: bonjour registration error", 0) == 0)
        return lines[k];
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "";
}

}  // namespace

TEST_F(PluginTest, AdvertisedWhileRunningWithdrawnAtStopAndRegisteredAgain) {
  ASSERT_EQ(Start(), 1);
  for (const auto &l : Lines()) EXPECT_EQ(l.find("DNSServiceRegister failed"), std::string::npos) << l;
  const std::string line = AwaitAdvertisement();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, std::regex("^CVHT: advertising as \"(.+)\" on _zodavidoreraz\\._udp$"))) << line;

  const std::string seen = Browse();
  EXPECT_NE(seen.find(";_zodavidoreraz._udp;local;"), std::string::npos) << seen;
  EXPECT_TRUE(std::regex_search(seen, std::regex("\n?=;lo;IPv4;[^;]+;_zodavidoreraz\\._udp;local;[^;]*;127\\.0\\.0\\.1;49707;")))
      << seen;

  // The phone tool finds it the way the phone does.
  FILE *p = popen(CVHT_PHONE " browse --timeout 5 2>&1", "r");
  ASSERT_NE(p, nullptr);
  std::string found;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) found += buf;
  EXPECT_EQ(pclose(p), 0) << found;
  EXPECT_TRUE(std::regex_search(found, std::regex("^found \"" + m[1].str() + "\" on interface [0-9]+: [^:]+:49707 \\(127\\.0\\.0\\.1\\)")))
      << found;

  // Poses and the link report work alongside, and show the registration.
  phone().Send(PoseBytes(1, {0, 0, 0, 10, 0, 0}));
  Frame(5.0f);
  EXPECT_EQ(LinesStartingWith("link ").back(), "CVHT: link peer=yes proto=ok view=1026 bonjour=registered");
  EXPECT_FLOAT_EQ(Head(3), 25.0f);

  Stop();
  EXPECT_EQ(LastLine(), "CVHT: stopped");
  // The daemon withdraws the records with its goodbye announcement, which takes a moment.
  std::string after;
  for (int i = 0; i < 10; ++i) {
    after = Browse();
    if (after.find("_zodavidoreraz") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(after.find("_zodavidoreraz"), std::string::npos) << "still advertised after stop:\n" << after;

  // A second start registers again.
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitAdvertisement().rfind("CVHT: advertising as ", 0), 0u);
  EXPECT_NE(Browse().find(";49707;"), std::string::npos);
}
