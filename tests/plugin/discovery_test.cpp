// DNS-SD discovery against a real avahi-daemon in a network namespace of the test's own.
#include <regex>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

// What the command prints; its exit status goes to *status when given.
std::string Output(const std::string &command, int *status = nullptr) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  char buf[1024];
  while (p && fgets(buf, sizeof buf, p)) out += buf;
  const int s = p ? pclose(p) : -1;
  if (status) *status = s;
  return out;
}

std::string Browse() { return Output("timeout 10 avahi-browse -rptk _zodavidoreraz._udp 2>/dev/null"); }

using DiscoveryTest = PluginTest;

TEST_F(DiscoveryTest, AdvertisedWhileRunningWithdrawnAtStopAndRegisteredAgain) {
  ASSERT_EQ(Start(), 1);
  EXPECT_TRUE(LinesStartingWith("DNSServiceRegister failed").empty());
  const auto adverts = AwaitLines("advertising as ");
  ASSERT_EQ(adverts.size(), 1u) << "not advertised; the log ends: " << LastLine();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(adverts[0], m, std::regex("^CVHT: advertising as \"(.+)\" on _zodavidoreraz\\._udp$")))
      << adverts[0];
  const std::string seen = Browse();
  EXPECT_TRUE(std::regex_search(seen, std::regex("\n?=;lo;IPv4;[^;]+;_zodavidoreraz\\._udp;local;[^;]*;127\\.0\\.0\\.1;49707;")))
      << seen;
  // The phone tool finds it the way the phone does.
  int status = -1;
  const std::string found = Output(CVHT_PHONE " browse --timeout 5 2>&1", &status);
  EXPECT_EQ(status, 0) << found;
  EXPECT_TRUE(std::regex_search(found, std::regex("^found \"" + m[1].str() + "\" on interface [0-9]+: [^:]+:49707 \\(127\\.0\\.0\\.1\\)")))
      << found;
  // Poses and the link report work alongside, and show the registration.
  phone().Send(PoseBytes(1, {0, 0, 0, 10, 0, 0}));
  Frame(5.0f);
  EXPECT_EQ(LinesStartingWith("link ").back(), "CVHT: link peer=yes proto=ok view=1026 bonjour=registered");
  EXPECT_FLOAT_EQ(Head(3), 25.0f);

  Stop();
  // The daemon withdraws the records with its goodbye announcement, which takes a moment.
  std::string after = Browse();
  for (int i = 0; i < 10 && after.find("_zodavidoreraz") != std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    after = Browse();
  }
  EXPECT_EQ(after.find("_zodavidoreraz"), std::string::npos) << "still advertised after stop:\n" << after;
  // A second start registers again.
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitLines("advertising as ", 2).size(), 2u);
  EXPECT_NE(Browse().find(";49707;"), std::string::npos);
}

}  // namespace
