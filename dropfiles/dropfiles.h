#pragma once
// What the BBS tells the door about the caller, and the readers of the four drop file formats.

#include <cstdint>
#include <string>

enum TDoorEmulationType : std::uint8_t { etANSI = 0, etASCII = 1 };

struct TDoorDropInfo {
  std::int32_t Access = 0;
  std::string Alias;
  std::int32_t Baud = 0;
  bool Clean = false;
  std::int32_t ComNum = 0;     // the socket descriptor the transport takes over
  std::uint8_t ComType = 0;    // 0 local, 1 serial port, 2 telnet, 3 WC5
  TDoorEmulationType Emulation = etANSI;
  bool Fairy = false;
  std::int32_t MaxSeconds = 3600;
  std::int32_t Node = 0;
  std::string RealName;
  std::int32_t RecPos = 0;     // 0-based record in the BBS user file
};

extern TDoorDropInfo DoorDropInfo;

// Each reader fills the fields its format carries and leaves the others alone. A missing or
// unreadable file leaves the record unchanged; missing lines read as empty and give defaults.
void ReadDoor32(const std::string& AFileName);    // DOOR32.SYS
void ReadDoorSys(const std::string& AFileName);   // DOOR.SYS
void ReadDorInfo(const std::string& AFileName);   // DORINFO*.DEF
void ReadLordInfo(const std::string& AFileName);  // INFO.*

// The whole text as a signed decimal integer (leading blanks and one sign allowed), or ADefault when
// it is empty, holds any other character, or lies outside the 32-bit range.
std::int32_t StrToIntDef(const std::string& AText, std::int32_t ADefault);
