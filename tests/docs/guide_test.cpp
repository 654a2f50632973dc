// The API guide against the code: each example it shows is, byte for byte, the file the build
// compiles, every example file is shown, and every name a door author can use from the public
// headers is mentioned somewhere in the guide.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = SOURCE_DIR;
const fs::path kDocs = kSource / "docs";

using zelkit_test::ReadFile;

struct Shown {
  std::string File;  // relative to docs/
  std::string Code;  // the fenced block that follows the marker
};

// Every "<!-- example: examples/x.cpp -->" line and the fenced code block right after it.
std::vector<Shown> ShownExamples(const std::string& AGuide) {
  std::vector<Shown> Result;
  static const std::regex kMarker(R"(<!-- example: (\S+) -->\n```cpp\n)");
  for (auto It = std::sregex_iterator(AGuide.begin(), AGuide.end(), kMarker); It != std::sregex_iterator(); ++It) {
    const std::size_t Start = static_cast<std::size_t>(It->position(0) + It->length(0));
    const std::size_t End = AGuide.find("\n```\n", Start - 1);
    Result.push_back({(*It)[1].str(), End == std::string::npos ? std::string() : AGuide.substr(Start, End + 1 - Start)});
  }
  return Result;
}

TEST(Guide, EveryShownExampleIsTheCompiledFile) {
  const std::string Guide = ReadFile(kDocs / "guide.md");
  const std::vector<Shown> Examples = ShownExamples(Guide);
  ASSERT_FALSE(Examples.empty());
  for (const Shown& E : Examples) {
    SCOPED_TRACE(E.File);
    ASSERT_TRUE(fs::exists(kDocs / E.File));
    EXPECT_EQ(ReadFile(kDocs / E.File), E.Code);
  }
}

TEST(Guide, EveryExampleFileIsShownAndBuilt) {
  std::set<std::string> ShownFiles;
  for (const Shown& E : ShownExamples(ReadFile(kDocs / "guide.md"))) ShownFiles.insert(E.File);
  const std::string Build = ReadFile(kDocs / "examples" / "CMakeLists.txt");
  for (const auto& Entry : fs::directory_iterator(kDocs / "examples")) {
    if (Entry.path().extension() != ".cpp") continue;
    const std::string Stem = Entry.path().stem().string();
    SCOPED_TRACE(Stem);
    EXPECT_TRUE(ShownFiles.count("examples/" + Stem + ".cpp"));
    EXPECT_TRUE(std::regex_search(Build, std::regex("\\b" + Stem + "\\b")));
  }
}

// Names a door author uses: functions, hook slots, globals and types of the seven public headers.
std::set<std::string> PublicNames(const std::string& AHeader) {
  std::set<std::string> Names;
  static const std::regex kFunction(R"(^[A-Za-z][\w:<>, ]*[\s&*]([A-Z]\w+)\()");
  static const std::regex kHook(R"(^extern [^(]*\(\*(\w+)\)\()");
  static const std::regex kGlobal(R"(^extern [\w:<>, ]+ (\w+);)");
  static const std::regex kType(R"(^(?:struct|enum|using|class) (\w+))");
  static const std::regex kConstant(R"(^inline constexpr [\w:<>, ]+ (\w+) =)");
  std::istringstream In(AHeader);
  std::string Line;
  std::smatch M;
  while (std::getline(In, Line)) {
    for (const std::regex* R : {&kFunction, &kHook, &kGlobal, &kType, &kConstant}) {
      if (std::regex_search(Line, M, *R)) Names.insert(M[1].str());
    }
  }
  return Names;
}

TEST(Guide, MentionsEveryPublicName) {
  std::set<std::string> Words;
  const std::string Guide = ReadFile(kDocs / "guide.md");
  static const std::regex kWord(R"(\w+)");
  for (auto It = std::sregex_iterator(Guide.begin(), Guide.end(), kWord); It != std::sregex_iterator(); ++It) {
    Words.insert(It->str());
  }
  std::size_t Checked = 0;
  for (const char* Unit : {"console", "videoutils", "ansi", "stringutils", "comm", "dropfiles", "door"}) {
    const std::set<std::string> Names = PublicNames(ReadFile(kSource / Unit / (std::string(Unit) + ".h")));
    for (const std::string& Name : Names) {
      SCOPED_TRACE(std::string(Unit) + ": " + Name);
      EXPECT_TRUE(Words.count(Name));
      ++Checked;
    }
  }
  EXPECT_GT(Checked, 120u);  // the parse found the headers' declarations, not a handful
}

}  // namespace
