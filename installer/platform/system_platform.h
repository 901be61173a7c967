// The platform services over POSIX, for Linux and macOS.
#pragma once

#include "platform_services.h"

class SystemPlatform : public PlatformServices {
 public:
  bool fileExists(const std::string& path) override;
  std::optional<FileIdentity> identity(const std::string& path) override;
  bool isWritable(const std::string& path) override;
  void copyItem(const std::string& from, const std::string& to) override;
  void moveItem(const std::string& from, const std::string& to) override;
  void replaceItem(const std::string& original, const std::string& replacement) override;
  void removeItem(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  std::string homeDirectory() override;
  std::string currentDirectory() override;
  std::optional<std::string> environment(const std::string& name) override;
  std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes) override;
  std::string randomUUID() override;

  // Per platform (system_platform_linux.cpp, system_platform_mac.mm).
  std::optional<std::string> resourceFolder(const std::string& name) override;
  std::vector<RunningApplication> runningApplications() override;
  void openApplication(const std::string& appPath,
                       std::function<void(std::optional<std::string> error)> handler) override;

 protected:
  // Swaps two names in one step; 0 or an errno value. Overridable so that the fallback for file
  // systems that refuse the swap can be exercised.
  virtual int exchange(const std::string& a, const std::string& b);
  // Renames unless the new name exists; 0 or an errno value. Overridable like exchange.
  virtual int rename(const std::string& from, const std::string& to);
};
