#include "tests/support/test_files.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zelkit_test {

TempDir::TempDir(const std::string& APrefix) {
  std::string Pattern = (std::filesystem::temp_directory_path() / (APrefix + "-XXXXXX")).string();
  if (mkdtemp(Pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FPath = std::filesystem::canonical(Pattern);
}

TempDir::~TempDir() {
  std::error_code Ec;
  std::filesystem::remove_all(FPath, Ec);
}

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

bool WriteFile(const std::filesystem::path& APath, const std::string& AData) {
  std::ofstream Out(APath, std::ios::binary | std::ios::trunc);
  Out.write(AData.data(), static_cast<std::streamsize>(AData.size()));
  return static_cast<bool>(Out);
}

}  // namespace zelkit_test
