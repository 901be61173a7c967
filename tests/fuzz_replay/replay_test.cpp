// The committed fuzz corpus replayed through the fuzz targets' checks, and those checks shown to catch faults.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "checks.h"

namespace {

using cvhtfuzz::AptChecker;
using cvhtfuzz::HostedPlugin;

std::vector<std::string> CorpusFiles(const std::string &kind) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(std::string(CVHT_FUZZ_CORPUS) + "/" + kind, ec))
    if (e.is_regular_file()) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string FileTestName(const testing::TestParamInfo<std::string> &info) {
  std::string name = std::filesystem::path(info.param).filename().string();
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

const uint8_t *Bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

class AptCorpus : public testing::TestWithParam<std::string> {};
TEST_P(AptCorpus, IndexStaysWellFormed) {
  AptChecker checker;
  const std::string input = ReadAll(GetParam());
  EXPECT_EQ(checker.Run(Bytes(input), input.size()), "");
}
INSTANTIATE_TEST_SUITE_P(Replay, AptCorpus, testing::ValuesIn(CorpusFiles("apt")), FileTestName);

class DatagramCorpus : public testing::TestWithParam<std::string> {};
TEST_P(DatagramCorpus, ViewAndPacketsStayInBounds) {
  HostedPlugin host;
  ASSERT_EQ(host.Error(), "");
  const std::string input = ReadAll(GetParam());
  EXPECT_EQ(host.RunDatagrams(Bytes(input), input.size()), "");
}
INSTANTIATE_TEST_SUITE_P(Replay, DatagramCorpus, testing::ValuesIn(CorpusFiles("datagram")), FileTestName);

class QueryCorpus : public testing::TestWithParam<std::string> {};
TEST_P(QueryCorpus, EveryReplyIsTheOneOwed) {
  HostedPlugin host;
  ASSERT_EQ(host.Error(), "");
  const std::string input = ReadAll(GetParam());
  EXPECT_EQ(host.RunQueries(Bytes(input), input.size()), "");
}
INSTANTIATE_TEST_SUITE_P(Replay, QueryCorpus, testing::ValuesIn(CorpusFiles("query")), FileTestName);

// ---- The checks themselves find faults, so a replay that passes means something.

apt::Index GoodIndex() {
  apt::Index index;
  index.airports.push_back({"AAA", 47.0f, 8.0f, 100});
  index.airports.push_back({"BBB", 47.1f, 8.1f, 200});
  index.runways.push_back({0, "09", "27", 47.0f, 8.0f, 47.0f, 8.01f, 30.0f});
  index.runways.push_back({1, "01", "19", 47.1f, 8.1f, 47.11f, 8.1f, 30.0f});
  return index;
}

TEST(FuzzChecks, IndexCheckFindsEachBrokenInvariant) {
  EXPECT_EQ(cvhtfuzz::CheckIndex(GoodIndex()), "");
  auto broken = [](auto change) {
    apt::Index index = GoodIndex();
    change(index);
    return cvhtfuzz::CheckIndex(index);
  };
  EXPECT_NE(broken([](apt::Index &i) { i.airports[1].lat = i.airports[1].lon = 0.0f; }), "");
  EXPECT_NE(broken([](apt::Index &i) { i.runways[1].airport = 2; }), "");
  EXPECT_NE(broken([](apt::Index &i) { i.runways[1].airport = -1; }), "");
  EXPECT_NE(broken([](apt::Index &i) { std::swap(i.runways[0], i.runways[1]); }), "");
  EXPECT_NE(broken([](apt::Index &i) { std::memcpy(i.airports[0].ident, "ABCDEFGH", 8); }), "");
  EXPECT_NE(broken([](apt::Index &i) { i.airports[0].ident[5] = 'x'; }), "");
  EXPECT_NE(broken([](apt::Index &i) { std::memcpy(i.runways[0].end2, "27RX", 4); }), "");
  EXPECT_NE(broken([](apt::Index &i) { i.runways[0].end1[0] = '\0'; }), "");
}

TEST(FuzzChecks, NearestCheckWantsTheAirportItselfFirst) {
  const apt::Index index = GoodIndex();
  EXPECT_EQ(cvhtfuzz::CheckNearest(index, index.airports[1].lat, index.airports[1].lon, true), "");
  EXPECT_NE(cvhtfuzz::CheckNearest(index, 47.05, 8.1, true), "") << "no airport lies at that point";
}

TEST(FuzzChecks, PacketCheckRejectsMalformedReplies) {
  const std::string good = *cvhtfuzz::ExpectedReply("MANY");
  EXPECT_EQ(good.size(), 38u + 28u * 24u) << "thirty runways are answered with twenty-four";
  EXPECT_EQ(cvhtfuzz::CheckPacket(good), "");
  EXPECT_NE(cvhtfuzz::CheckPacket(good.substr(0, good.size() - 1)), "");
  std::string more = good;
  more[18] = 25;  // runway count beyond the limit
  EXPECT_NE(cvhtfuzz::CheckPacket(more + std::string(28, '\0')), "");
  std::string flags = good;
  flags[6] = 5;
  EXPECT_NE(cvhtfuzz::CheckPacket(flags), "");
  EXPECT_NE(cvhtfuzz::CheckPacket(std::string("CVHS\4\0\0\0", 8) + std::string(71, '\0')), "");
  EXPECT_NE(cvhtfuzz::CheckPacket(std::string("CVHZ\1\0\0\0", 8)), "");
}

TEST(FuzzChecks, OwedRepliesFollowTheIndexRules) {
  EXPECT_FALSE(cvhtfuzz::ExpectedReply("GONE")) << "an airport without runways or datum is not indexed";
  EXPECT_FALSE(cvhtfuzz::ExpectedReply("SEAP")) << "seaplane bases are not indexed";
  EXPECT_FALSE(cvhtfuzz::ExpectedReply("LONGIDEN")) << "only seven characters count";
  ASSERT_TRUE(cvhtfuzz::ExpectedReply("LONGIDE"));
  EXPECT_EQ(cvhtfuzz::ExpectedReply("NONE")->size(), 38u);
  auto elevation = [](const std::string &ident) {
    const std::string r = *cvhtfuzz::ExpectedReply(ident);
    int16_t e;
    std::memcpy(&e, r.data() + r.size() - 2, 2);
    return e;
  };
  EXPECT_EQ(elevation("HIGH"), 30000);
  EXPECT_EQ(elevation("HIGHER"), -32768);
  EXPECT_EQ(elevation("LOW"), -32768);
  EXPECT_EQ(elevation("LOWEST"), -2000);
}

}  // namespace
