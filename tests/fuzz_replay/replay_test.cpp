// The committed fuzz corpus replayed through the fuzz targets' checks, one test per file: the apt.dat
// inputs through the reader, the datagram and query inputs through the real plug-in.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>

#include "checks.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> CorpusFiles() {
  std::vector<fs::path> out;
  for (const char *kind : {"apt", "datagram", "query"})
    for (const auto &e : fs::directory_iterator(fs::path(CVHT_FUZZ_CORPUS) / kind)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

class Corpus : public testing::TestWithParam<fs::path> {};

TEST_P(Corpus, ChecksHold) {
  std::ifstream in(GetParam(), std::ios::binary);
  const std::string input(std::istreambuf_iterator<char>(in), {});
  const auto *bytes = reinterpret_cast<const uint8_t *>(input.data());
  const std::string kind = GetParam().parent_path().filename();
  if (kind == "apt") {
    EXPECT_EQ(cvhtfuzz::CheckInput(kind, nullptr, bytes, input.size()), "");
    return;
  }
  ASSERT_FALSE(input.empty()) << "an empty input asks the plug-in nothing";
  cvhtfuzz::HostedPlugin host;
  ASSERT_EQ(host.Error(), "");
  EXPECT_EQ(cvhtfuzz::CheckInput(kind, &host, bytes, input.size()), "");
}

INSTANTIATE_TEST_SUITE_P(Replay, Corpus, testing::ValuesIn(CorpusFiles()), [](const auto &info) {
  std::string name = info.param.parent_path().filename().string() + "_" + info.param.filename().string();
  std::replace_if(name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
  return name;
});

}  // namespace
