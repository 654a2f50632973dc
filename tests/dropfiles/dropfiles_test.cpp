#include "dropfiles/dropfiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

using TReader = void (*)(const std::string&);
using TEdit = void (*)(TDoorDropInfo&);

// A record in which every field holds a value no reader would produce by default, so that a field
// a format does not carry shows up if a reader touches it.
TDoorDropInfo Sentinel() {
  TDoorDropInfo R;
  R.Access = 77;
  R.Alias = "old alias";
  R.Baud = 1200;
  R.Clean = true;
  R.ComNum = 42;
  R.ComType = 9;
  R.Emulation = etASCII;
  R.Fairy = true;
  R.MaxSeconds = 4242;
  R.Node = 7;
  R.RealName = "old name";
  R.RecPos = 99;
  return R;
}

// Every field, one per line, so a failing comparison shows exactly which field differs.
std::string Describe(const TDoorDropInfo& R) {
  std::ostringstream S;
  S << "Access=" << R.Access << "\nAlias=[" << R.Alias << "]\nBaud=" << R.Baud << "\nClean=" << R.Clean
    << "\nComNum=" << R.ComNum << "\nComType=" << int{R.ComType} << "\nEmulation="
    << (R.Emulation == etANSI ? "ANSI" : "ASCII") << "\nFairy=" << R.Fairy << "\nMaxSeconds=" << R.MaxSeconds
    << "\nNode=" << R.Node << "\nRealName=[" << R.RealName << "]\nRecPos=" << R.RecPos << "\n";
  return S.str();
}

std::string Join(const std::vector<std::string>& ALines, const std::string& AEnd = "\r\n") {
  std::string Text;
  for (const auto& L : ALines) Text += L + AEnd;
  return Text;
}

class DropFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/zelkit-dropfiles-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(Template));
    FDir = Template;
    DoorDropInfo = Sentinel();
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(FDir, Ignored);
  }
  std::string WriteFile(const std::string& AName, const std::string& AText) {
    const std::string Path = (FDir / AName).string();
    std::ofstream(Path, std::ios::binary) << AText;
    return Path;
  }
  // Runs AReader on a fresh sentinel record and compares with the sentinel changed by AEdit.
  void ExpectRead(TReader AReader, const std::string& AText, TEdit AEdit) {
    const std::string Path = WriteFile("drop", AText);
    DoorDropInfo = Sentinel();
    AReader(Path);
    TDoorDropInfo Want = Sentinel();
    AEdit(Want);
    EXPECT_EQ(Describe(Want), Describe(DoorDropInfo));
  }
  fs::path FDir;
};

TEST(StrToIntDef, WholeTextOrDefault) {
  struct Case {
    std::string Text;
    std::int32_t Want;
  };
  const Case kCases[] = {
      {"0", 0},           {"12", 12},          {"007", 7},        {" \t-5", -5},     {"+7", 7},
      {"", -1},           {" ", -1},           {"-", -1},         {"+", -1},         {"--5", -1},
      {"+-5", -1},        {"12 ", -1},         {"12\t", -1},      {"1 2", -1},       {"0x10", -1},
      {"$10", -1},        {"1e3", -1},         {"1.0", -1},       {"\xd9\xa1", -1},  {std::string("1\0", 2), -1},
      {std::string("\0" "1", 2), -1},          {"2147483647", 2147483647},           {"2147483648", -1},
      {"-2147483648", -2147483647 - 1},        {"-2147483649", -1},                  {"4294967296", -1},
      {"99999999999999999999999", -1},         {"00000000000000000000000000042", 42},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE("[" + C.Text + "]");
    EXPECT_EQ(C.Want, StrToIntDef(C.Text, -1));
  }
}

TEST_F(DropFileTest, Door32ReadsEveryLineAndLeavesFlagsAlone) {
  ExpectRead(ReadDoor32,
             Join({"2", "5", "57600", "Example BBS", "3", "John Smith", "Johnny", "100", "45", "1", "4"}),
             [](TDoorDropInfo& R) {
               R.ComType = 2;
               R.ComNum = 5;
               R.Baud = 57600;
               R.RecPos = 2;
               R.RealName = "John Smith";
               R.Alias = "Johnny";
               R.Access = 100;
               R.MaxSeconds = 2700;
               R.Emulation = etANSI;
               R.Node = 4;
             });
}

TEST_F(DropFileTest, Door32LineRules) {
  struct Case {
    const char* Name;
    std::vector<std::string> Lines;
    TEdit Edit;  // applied on top of the defaults of an 11-line file of empty lines
  };
  const Case kCases[] = {
      {"all empty", {}, [](TDoorDropInfo&) {}},
      {"emulation 0 is ASCII", {"", "", "", "", "", "", "", "", "", "0"}, [](TDoorDropInfo& R) { R.Emulation = etASCII; }},
      {"emulation 2 is ANSI", {"", "", "", "", "", "", "", "", "", "2"}, [](TDoorDropInfo&) {}},
      {"comm type keeps the low 8 bits", {"258"}, [](TDoorDropInfo& R) { R.ComType = 2; }},
      {"comm type -1", {"-1"}, [](TDoorDropInfo& R) { R.ComType = 255; }},
      {"record 1 is 0", {"", "", "", "", "1"}, [](TDoorDropInfo&) {}},
      {"record 5 is 4", {"", "", "", "", "5"}, [](TDoorDropInfo& R) { R.RecPos = 4; }},
      {"lowest record stays in range", {"", "", "", "", "-2147483648"},
       [](TDoorDropInfo& R) { R.RecPos = -2147483647 - 1; }},
      {"minutes clamp instead of wrapping", {"", "", "", "", "", "", "", "", "99999999"},
       [](TDoorDropInfo& R) { R.MaxSeconds = 2147483647; }},
      {"trailing blank gives the default", {"", "", "38400 ", "", "", "", "", "", "10 "}, [](TDoorDropInfo&) {}},
      {"baud beyond 32 bits gives the default", {"", "", "9999999999"}, [](TDoorDropInfo&) {}},
      {"names kept with their blanks", {"", "", "", "", "", " Jane Doe ", "\tJD"},
       [](TDoorDropInfo& R) {
         R.RealName = " Jane Doe ";
         R.Alias = "\tJD";
       }},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    std::vector<std::string> Lines = C.Lines;
    Lines.resize(11);
    const std::string Path = WriteFile("DOOR32.SYS", Join(Lines));
    DoorDropInfo = Sentinel();
    ReadDoor32(Path);
    TDoorDropInfo Want = Sentinel();
    Want.ComType = 0;
    Want.ComNum = -1;
    Want.Baud = 38400;
    Want.RecPos = 0;
    Want.RealName.clear();
    Want.Alias.clear();
    Want.Access = 0;
    Want.MaxSeconds = 0;
    Want.Emulation = etANSI;
    Want.Node = 0;
    C.Edit(Want);
    EXPECT_EQ(Describe(Want), Describe(DoorDropInfo));
  }
}

TEST_F(DropFileTest, EveryLineEndGivesTheSameRecord) {
  const std::vector<std::string> Lines = {"2", "5", "57600", "BBS", "3", "John Smith", "Johnny", "100", "45", "0", "4"};
  const std::string Mixed = "2\n5\r\n57600\rBBS\n\r3\n";  // LF CR is two line ends: an empty line 5
  struct Case {
    const char* Name;
    std::string Text;
  };
  const Case kCases[] = {
      {"LF", Join(Lines, "\n")},
      {"CR LF", Join(Lines, "\r\n")},
      {"CR", Join(Lines, "\r")},
      {"no end after the last line", Join(Lines, "\n").substr(0, Join(Lines, "\n").size() - 1)},
      {"lines after the last are not read", Join(Lines, "\r") + "junk\r\xff\xfe\r"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    DoorDropInfo = Sentinel();
    ReadDoor32(WriteFile("DOOR32.SYS", C.Text));
    EXPECT_EQ(2, DoorDropInfo.ComType);
    EXPECT_EQ(4, DoorDropInfo.Node);
    EXPECT_EQ("Johnny", DoorDropInfo.Alias);
    EXPECT_EQ(etASCII, DoorDropInfo.Emulation);
  }
  DoorDropInfo = Sentinel();
  ReadDoor32(WriteFile("DOOR32.SYS", Mixed));
  EXPECT_EQ(57600, DoorDropInfo.Baud);
  EXPECT_EQ(0, DoorDropInfo.RecPos);  // line 5 is the empty one between LF and CR
}

TEST_F(DropFileTest, Door32ShortFileGivesDefaultsForMissingLines) {
  ExpectRead(ReadDoor32, "1\n3\n19200", [](TDoorDropInfo& R) {
    R.ComType = 1;
    R.ComNum = 3;
    R.Baud = 19200;
    R.RecPos = 0;
    R.RealName.clear();
    R.Alias.clear();
    R.Access = 0;
    R.MaxSeconds = 0;
    R.Emulation = etANSI;
    R.Node = 0;
  });
}

// A DOOR.SYS of 52 lines with the given lines set, the rest empty.
std::string DoorSys(std::initializer_list<std::pair<int, std::string>> ALines) {
  std::vector<std::string> Lines(52);
  for (const auto& [No, Text] : ALines) Lines[static_cast<std::size_t>(No - 1)] = Text;
  return Join(Lines);
}

TEST_F(DropFileTest, DoorSysReadsItsLines) {
  ExpectRead(ReadDoorSys,
             DoorSys({{1, "COM2:"}, {4, "3"}, {5, "19200"}, {10, "Jane Doe"}, {15, "50"}, {18, "2700"},
                      {20, "GR"}, {26, "8"}, {36, "JD"}}),
             [](TDoorDropInfo& R) {
               R.ComNum = 2;
               R.ComType = 1;
               R.Node = 3;
               R.Baud = 19200;
               R.RealName = "Jane Doe";
               R.Access = 50;
               R.MaxSeconds = 2700;
               R.Emulation = etANSI;
               R.RecPos = 7;
               R.Alias = "JD";
             });
}

TEST_F(DropFileTest, DoorSysPortNameAndGraphicsKeyword) {
  struct Case {
    const char* Name;
    std::string Line1, Line20;
    std::int32_t ComNum;
    std::uint8_t ComType;  // 9: left as the sentinel had it
    TDoorEmulationType Emulation;
  };
  const Case kCases[] = {
      {"COM2:", "COM2:", "GR", 2, 1, etANSI},
      {"COM12:", "COM12:", "gr", 12, 1, etANSI},
      {"COM0: is local", "COM0:", "Gr", 0, 9, etANSI},
      {"no colon", "COM1", "NG", 0, 9, etASCII},
      {"negative port", "COM-3:", "GR ", -3, 9, etASCII},
      {"empty", "", "", 0, 9, etASCII},
      {"junk", "\xff\x00\x01", " GR", 0, 9, etASCII},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    DoorDropInfo = Sentinel();
    ReadDoorSys(WriteFile("DOOR.SYS", DoorSys({{1, C.Line1}, {20, C.Line20}})));
    EXPECT_EQ(C.ComNum, DoorDropInfo.ComNum);
    EXPECT_EQ(C.ComType, DoorDropInfo.ComType);
    EXPECT_EQ(C.Emulation, DoorDropInfo.Emulation);
  }
  DoorDropInfo = Sentinel();
  ReadDoorSys(WriteFile("DOOR.SYS", "COM1:\n"));  // a missing line 20 is not graphics
  EXPECT_EQ(etASCII, DoorDropInfo.Emulation);
  EXPECT_EQ(38400, DoorDropInfo.Baud);
  EXPECT_EQ(0, DoorDropInfo.RecPos);
  EXPECT_TRUE(DoorDropInfo.Clean);
  EXPECT_TRUE(DoorDropInfo.Fairy);
}

// A DORINFO*.DEF of 13 lines with the given lines set.
std::string DorInfo(std::initializer_list<std::pair<int, std::string>> ALines) {
  std::vector<std::string> Lines(13);
  for (const auto& [No, Text] : ALines) Lines[static_cast<std::size_t>(No - 1)] = Text;
  return Join(Lines);
}

TEST_F(DropFileTest, DorInfoReadsItsLinesAndNothingElse) {
  ExpectRead(ReadDorInfo,
             DorInfo({{1, "BBS"}, {4, "COM2"}, {5, "19200 BAUD,N,8,1"}, {7, "JOHN"}, {8, "SMITH"}, {10, "1"},
                      {11, "30"}, {12, "45"}}),
             [](TDoorDropInfo& R) {
               R.ComNum = 2;
               R.ComType = 1;
               R.Baud = 19200;
               R.Alias = "JOHN";
               R.RealName = "JOHN SMITH";
               R.Emulation = etANSI;
               R.Access = 30;
               R.MaxSeconds = 2700;
             });
}

TEST_F(DropFileTest, DorInfoLineRules) {
  struct Case {
    const char* Name;
    std::string Line4, Line5, Line8, Line10;
    std::int32_t ComNum;
    std::uint8_t ComType;
    std::int32_t Baud;
    std::string RealName;
    TDoorEmulationType Emulation;
  };
  const Case kCases[] = {
      {"COM0 leaves the type", "COM0", "2400 BAUD", "", "", 0, 9, 2400, "JOHN", etANSI},
      {"colon makes the number invalid", "COM2:", "19200", "X", "2", 0, 9, 38400, "JOHN X", etASCII},
      {"speed with a leading blank", "COM3", " 9600 BAUD", "", "0", 3, 1, 38400, "JOHN", etASCII},
      {"short port name", "CO", "", "", "1", 0, 9, 38400, "JOHN", etANSI},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    DoorDropInfo = Sentinel();
    ReadDorInfo(WriteFile("DORINFO1.DEF",
                          DorInfo({{4, C.Line4}, {5, C.Line5}, {7, "JOHN"}, {8, C.Line8}, {10, C.Line10}})));
    EXPECT_EQ(C.ComNum, DoorDropInfo.ComNum);
    EXPECT_EQ(C.ComType, DoorDropInfo.ComType);
    EXPECT_EQ(C.Baud, DoorDropInfo.Baud);
    EXPECT_EQ(C.RealName, DoorDropInfo.RealName);
    EXPECT_EQ(C.Emulation, DoorDropInfo.Emulation);
  }
}

TEST_F(DropFileTest, LordInfoReadsItsLinesAndNothingElse) {
  ExpectRead(ReadLordInfo,
             Join({"5", "3", "x", "fairy yes", "30", "Zed", "John", "Smith", "4", "57600", "x", "telnet", "x",
                   "Clean Mode On"}),
             [](TDoorDropInfo& R) {
               R.RecPos = 5;
               R.Emulation = etANSI;
               R.Fairy = true;
               R.MaxSeconds = 1800;
               R.Alias = "Zed";
               R.RealName = "John Smith";
               R.ComNum = 4;
               R.Baud = 57600;
               R.ComType = 2;
               R.Clean = true;
             });
}

TEST_F(DropFileTest, LordInfoKeywords) {
  struct Case {
    const char* Name;
    std::string Line2, Line4, Line12, Line14;
    TDoorEmulationType Emulation;
    bool Fairy;
    std::uint8_t ComType;
    bool Clean;
  };
  const Case kCases[] = {
      {"local", "", "FAIRY YES", "LOCAL", "CLEAN MODE ON", etANSI, true, 0, true},
      {"wc5", "1", "FAIRY NO", "Wc5", "CLEAN MODE OFF", etASCII, false, 3, false},
      {"serial", "3", "FAIRY YES ", "SERIAL", "clean mode on ", etANSI, false, 1, false},
      {"empty", "0", "", "", "", etASCII, false, 1, false},
      {"keyword with a blank, malformed emulation", "x", " LOCAL", " LOCAL", "CLEAN  MODE ON", etANSI, false, 1, false},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    DoorDropInfo = Sentinel();
    ReadLordInfo(WriteFile("INFO.1", Join({"", C.Line2, "", C.Line4, "", "", "", "", "", "", "", C.Line12, "",
                                           C.Line14})));
    EXPECT_EQ(C.Emulation, DoorDropInfo.Emulation);
    EXPECT_EQ(C.Fairy, DoorDropInfo.Fairy);
    EXPECT_EQ(C.ComType, DoorDropInfo.ComType);
    EXPECT_EQ(C.Clean, DoorDropInfo.Clean);
  }
}

TEST_F(DropFileTest, ShortFilesGiveTheirFormatsDefaults) {
  struct Case {
    const char* Name;
    TReader Reader;
    std::string Text;
    TEdit Edit;
  };
  const Case kCases[] = {
      {"INFO of three lines", ReadLordInfo, "5\n1\nx\n",
       [](TDoorDropInfo& R) {
         R.RecPos = 5;
         R.Emulation = etASCII;
         R.Fairy = false;
         R.MaxSeconds = 0;
         R.Alias.clear();
         R.RealName.clear();
         R.ComNum = 0;
         R.Baud = 38400;
         R.ComType = 1;
         R.Clean = false;
       }},
      {"empty DORINFO", ReadDorInfo, "",
       [](TDoorDropInfo& R) {
         R.ComNum = 0;
         R.Baud = 38400;
         R.Alias.clear();
         R.RealName.clear();
         R.Emulation = etANSI;
         R.Access = 0;
         R.MaxSeconds = 0;
       }},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Name);
    ExpectRead(C.Reader, C.Text, C.Edit);
  }
}

TEST_F(DropFileTest, NoRegularFileLeavesTheRecordUnchanged) {
  const std::string Dir = (FDir / "DOOR32.SYS").string();
  ASSERT_EQ(0, mkdir(Dir.c_str(), 0700));
  const std::string Fifo = (FDir / "DOOR.SYS").string();
  ASSERT_EQ(0, mkfifo(Fifo.c_str(), 0600));  // no writer: a blocking open would wait forever
  const std::string Loop = (FDir / "INFO.1").string();
  fs::create_symlink(FDir / "INFO.2", Loop);
  fs::create_symlink(Loop, FDir / "INFO.2");
  const std::string Dangling = (FDir / "DORINFO1.DEF").string();
  fs::create_symlink(FDir / "nowhere", Dangling);
  const std::string Paths[] = {Dir, Fifo, Loop, Dangling, (FDir / "missing").string(), "", "/dev/null",
                               (FDir / "missing" / "deeper").string()};
  const TReader Readers[] = {ReadDoor32, ReadDoorSys, ReadDorInfo, ReadLordInfo};
  std::ignore = alarm(20);  // a reader that blocks ends the test instead of hanging it
  for (const auto& Path : Paths) {
    for (const TReader Reader : Readers) {
      SCOPED_TRACE(Path);
      DoorDropInfo = Sentinel();
      Reader(Path);
      EXPECT_EQ(Describe(Sentinel()), Describe(DoorDropInfo));
    }
  }
  std::ignore = alarm(0);
}

TEST_F(DropFileTest, HostileContentIsReadSafely) {
  // NUL bytes stay part of a text field and make a number line give its default.
  ExpectRead(ReadDoor32, Join({std::string("2\0", 2), "5", "", "", "", std::string("Jo\0hn", 5), "A"}),
             [](TDoorDropInfo& R) {
               R.ComType = 0;
               R.ComNum = 5;
               R.Baud = 38400;
               R.RecPos = 0;
               R.RealName = std::string("Jo\0hn", 5);
               R.Alias = "A";
               R.Access = 0;
               R.MaxSeconds = 0;
               R.Emulation = etANSI;
               R.Node = 0;
             });

  // A line of megabytes is cut, and the lines after it are still found in their places.
  const std::string Huge(3 * 1024 * 1024, 'N');
  DoorDropInfo = Sentinel();
  ReadDoor32(WriteFile("DOOR32.SYS", Join({"2", "5", "1", "x", "1", Huge, "Alias", "9"})));
  EXPECT_EQ(64u * 1024u, DoorDropInfo.RealName.size());
  EXPECT_EQ("Alias", DoorDropInfo.Alias);
  EXPECT_EQ(9, DoorDropInfo.Access);
}

}  // namespace
