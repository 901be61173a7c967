// The install engine's error: one of five cases, each with its fixed user-facing text.
#pragma once

#include <exception>
#include <string>

class InstallError : public std::exception {
 public:
  enum class Case { copyFailed, payloadMissing, notXPlane, pluginsUnwritable, verifyFailed };

  static InstallError copyFailed(std::string platformText);
  // copyFailed with a short sentence for what stopped the copy, never the system's raw text.
  static InstallError copyFailed(const std::exception& cause);
  static InstallError payloadMissing() { return InstallError(Case::payloadMissing, {}); }
  static InstallError notXPlane() { return InstallError(Case::notXPlane, {}); }
  static InstallError pluginsUnwritable() { return InstallError(Case::pluginsUnwritable, {}); }
  static InstallError verifyFailed() { return InstallError(Case::verifyFailed, {}); }

  Case which() const { return case_; }
  // The platform's text of a copyFailed error; empty for the other cases.
  const std::string& platformText() const { return platformText_; }
  // The text the window shows unchanged.
  const std::string& errorDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  // The fixed text of a case without a payload (copyFailed gives its prefix alone).
  static std::string describe(Case which, const std::string& platformText = {});
  // A sentence for the user about why a platform operation failed, in the platform's own style,
  // followed by the item concerned when there is one. Independent of the process's locale.
  static std::string readableCause(const std::exception& cause);

 private:
  InstallError(Case which, std::string platformText);

  Case case_;
  std::string platformText_;
  std::string description_;
};
