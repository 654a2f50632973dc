#pragma once
// Scratch directories and whole-file reads and writes for tests that run doors in real directories.

#include <filesystem>
#include <string>

namespace zelkit_test {

// A fresh directory under the system's temporary directory, removed with everything in it at the
// end of its scope.
class TempDir {
 public:
  explicit TempDir(const std::string& APrefix = "zelkit-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return FPath; }

 private:
  std::filesystem::path FPath;
};

std::string ReadFile(const std::filesystem::path& APath);  // empty when it cannot be read
bool WriteFile(const std::filesystem::path& APath, const std::string& AData);

}  // namespace zelkit_test
