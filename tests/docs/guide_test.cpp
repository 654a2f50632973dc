// The API guide against the code: each example it shows is, byte for byte, the file the build
// compiles, every example file is shown, and every name a door author can use from the public
// headers is mentioned somewhere in the guide. The sysop's documents: every start and end message
// of the kit is explained, and links between the documents lead to files.

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
  std::string File;  // relative to the repository's top, as the guide names it
  std::string Code;  // the fenced block that follows the marker
};

// Every "<!-- example: docs/examples/x.cpp -->" line and the fenced code block right after it.
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
    ASSERT_TRUE(fs::exists(kSource / E.File));
    EXPECT_EQ(ReadFile(kSource / E.File), E.Code);
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
    EXPECT_TRUE(ShownFiles.count("docs/examples/" + Stem + ".cpp"));
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

// The sysop's documents against the code and the tree.
namespace docs_checks {

// Every message the kit's start-up and default end handlers show, as the sources spell it.
std::set<std::string> KitMessages() {
  std::set<std::string> Messages;
  static const std::regex kMessage(R"xx("\s*([A-Z][^"]*?(?:Returning To BBS\.\.\.|Detected|Not Supported:))(?:\\n)?")xx");
  for (const char* File : {"door/door_session.cpp", "door/door_handlers.cpp"}) {
    const std::string Source = ReadFile(kSource / File);
    for (auto It = std::sregex_iterator(Source.begin(), Source.end(), kMessage); It != std::sregex_iterator(); ++It)
      Messages.insert((*It)[1].str());
  }
  return Messages;
}

TEST(Docs, TroubleshootingExplainsEveryStartAndEndMessage) {
  const std::string Doc = ReadFile(kDocs / "troubleshooting.md");
  const std::set<std::string> Messages = KitMessages();
  EXPECT_GE(Messages.size(), 5u);  // drop file, no carrier, hang-up, idle limit, time up
  for (const std::string& M : Messages) {
    SCOPED_TRACE(M);
    EXPECT_NE(std::string::npos, Doc.find(M));
  }
}

// Links to files of the tree ([text](path), path relative to the document) lead somewhere.
TEST(Docs, RelativeLinksLeadToFiles) {
  static const std::regex kLink(R"(\]\(([^)#:]+)(?:#[^)]*)?\))");
  const fs::path kDocuments[] = {kSource / "README.md",       kDocs / "guide.md",       kDocs / "bbs.md",
                                  kDocs / "troubleshooting.md", kDocs / "door-server.md", kDocs / "testing.md"};
  for (const fs::path& Doc : kDocuments) {
    SCOPED_TRACE(Doc.filename().string());
    const std::string Text = ReadFile(Doc);
    std::size_t Links = 0;
    for (auto It = std::sregex_iterator(Text.begin(), Text.end(), kLink); It != std::sregex_iterator(); ++It) {
      SCOPED_TRACE((*It)[1].str());
      EXPECT_TRUE(fs::exists(Doc.parent_path() / (*It)[1].str()));
      ++Links;
    }
    if (Doc.filename() != "guide.md") {
      EXPECT_GT(Links, 0u);
    }
  }
}

// The tests bbs.md cites as what verifies each recipe (`Suite` or `Suite.Name`) exist.
TEST(Docs, BbsRecipesCiteTestsThatExist) {
  std::string Tests;
  for (const auto& Entry : fs::recursive_directory_iterator(kSource / "tests")) {
    if (Entry.path().extension() == ".cpp") Tests += ReadFile(Entry.path());
  }
  const std::string Doc = ReadFile(kDocs / "bbs.md");
  static const std::regex kCited(R"(`((?:Tunecraft|Launcher|DoorServer)\w*)(?:\.(\w+))?`)");
  std::size_t Cited = 0;
  for (auto It = std::sregex_iterator(Doc.begin(), Doc.end(), kCited); It != std::sregex_iterator(); ++It) {
    const std::string Suite = (*It)[1].str(), Name = (*It)[2].str();
    SCOPED_TRACE(Suite + "." + Name);
    const std::regex Declared("TEST(?:_F|_P)?\\(" + Suite + ",\\s*" + (Name.empty() ? std::string("\\w+") : Name) + "\\)");
    EXPECT_TRUE(std::regex_search(Tests, Declared));
    ++Cited;
  }
  EXPECT_GE(Cited, 8u);
}

}  // namespace docs_checks

}  // namespace
