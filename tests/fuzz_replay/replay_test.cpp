// The committed fuzz corpus replayed through the fuzz targets' checks. That the checks catch faults is shown
// by scripts/plant-faults.py: fault QRY4 of scripts/faults.tsv is killed by these replays alone.
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

}  // namespace
