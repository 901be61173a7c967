// A fresh folder under /tmp, removed with everything in it; free of any test framework, so the tests,
// the fuzz targets and their replay share it. Path() is empty when the folder could not be made.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace cvhtsupport {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/cvht-test.XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return path_; }

  // Writes the bytes exactly as given to a file in the folder; its path, or empty when it failed.
  std::string Write(const std::string &name, const std::string &bytes) const {
    const std::string p = path_ + "/" + name;
    FILE *f = path_.empty() ? nullptr : std::fopen(p.c_str(), "wb");
    if (!f) return "";
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok ? p : "";
  }

 private:
  std::string path_;
};

}  // namespace cvhtsupport
