// Path text helpers: joining, standardisation, and the UTF-8 checks the locator needs.
#include "paths.h"

#include <cstdint>
#include <filesystem>

#include "platform_services.h"

namespace paths {

std::string join(std::string_view base, std::string_view relative) {
  std::string out(base);
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  if (out.empty() || out.back() != '/') out += '/';
  out += relative;
  return out;
}

std::string standardize(std::string_view path, std::string_view cwd) {
  std::filesystem::path full(path);
  if (!full.is_absolute()) full = std::filesystem::path(cwd) / full;
  std::string out = full.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string standardize(std::string_view path) {
  return standardize(path, PlatformServices::current().currentDirectory());
}

namespace {

// Decodes one code point at text[i]; returns its length, or 0 when the bytes are not UTF-8.
size_t decode(std::string_view text, size_t i, char32_t& cp) {
  auto byte = [&](size_t k) { return static_cast<std::uint8_t>(text[k]); };
  std::uint8_t b0 = byte(i);
  size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool isSpace(char32_t cp) {
  return cp == 0x09 || cp == 0x20 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  char32_t cp;
  for (size_t i = 0; i < text.size();) {
    size_t len = decode(text, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string trimWhitespace(std::string_view text) {
  size_t begin = 0, end = 0;
  bool seenContent = false;
  char32_t cp;
  for (size_t i = 0; i < text.size();) {
    size_t len = decode(text, i, cp);
    if (len == 0) len = 1, cp = 0xFFFD;  // not UTF-8: keep the byte as content
    if (!isSpace(cp)) {
      if (!seenContent) begin = i;
      seenContent = true;
      end = i + len;
    }
    i += len;
  }
  return seenContent ? std::string(text.substr(begin, end - begin)) : std::string();
}

}  // namespace paths
