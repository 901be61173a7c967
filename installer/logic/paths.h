// Path text helpers: joining, standardisation, and the UTF-8 checks the locator needs.
#pragma once

#include <string>
#include <string_view>

namespace paths {

// base joined with a relative path, one separator between them.
std::string join(std::string_view base, std::string_view relative);

// Absolute (relative paths are taken from cwd), "." and ".." resolved lexically, repeated
// separators collapsed, no trailing separator ("/" stays "/"). Symbolic links are not followed.
std::string standardize(std::string_view path, std::string_view cwd);
// The same, relative paths taken from the current folder of the platform services in use.
std::string standardize(std::string_view path);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// Text without leading and trailing tabs and Unicode space separators (category Zs); line breaks
// are kept. The text must be valid UTF-8.
std::string trimWhitespace(std::string_view text);

}  // namespace paths
