// The relays' telnet client: what the door's telnet stream holds for the caller, and the answers a
// well-behaved client gives to the door's option offers (RFC 854, 855, 856, 857, 858).

#include "tools/launcher/telnet_client.h"

namespace launcher {

namespace {

constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr unsigned char kBinary = 0, kEcho = 1, kSuppressGoAhead = 3;

bool DoorMay(unsigned char AOption) { return AOption == kBinary || AOption == kEcho || AOption == kSuppressGoAhead; }
bool WeMay(unsigned char AOption) { return AOption == kBinary || AOption == kSuppressGoAhead; }

void Say(std::string& AReplies, unsigned char AVerb, unsigned char AOption) {
  AReplies.push_back(static_cast<char>(kIac));
  AReplies.push_back(static_cast<char>(AVerb));
  AReplies.push_back(static_cast<char>(AOption));
}

}  // namespace

void TTelnetClient::Feed(const unsigned char* ABytes, std::size_t ALen, std::string& AData, std::string& AReplies) {
  for (std::size_t I = 0; I < ALen; ++I) {
    const unsigned char B = ABytes[I];
    switch (FState) {
      case 0:
        if (B == kIac) FState = 1;
        else AData.push_back(static_cast<char>(B));
        break;
      case 1:
        if (B == kIac) {
          AData.push_back(static_cast<char>(kIac));  // IAC IAC: the data byte 255
          FState = 0;
        } else if (B >= kWill) {
          FVerb = B;
          FState = 2;
        } else {
          FState = B == kSb ? 3 : 0;  // any other command (NOP, GA, ...) is two bytes and means nothing here
        }
        break;
      case 2:
        FState = 0;
        if (FVerb == kWill) {
          if (DoorMay(B)) {
            if (!FHim[B]) Say(AReplies, kDo, B);
            FHim[B] = true;
          } else if (!FRefusedHim[B]) {
            Say(AReplies, kDont, B);
            FRefusedHim[B] = true;
          }
        } else if (FVerb == kWont) {
          if (FHim[B]) Say(AReplies, kDont, B);
          FHim[B] = false;
        } else if (FVerb == kDo) {
          if (WeMay(B)) {
            if (!FUs[B]) Say(AReplies, kWill, B);
            FUs[B] = true;
          } else if (!FRefusedUs[B]) {
            Say(AReplies, kWont, B);
            FRefusedUs[B] = true;
          }
        } else {  // DONT
          if (FUs[B]) Say(AReplies, kWont, B);
          FUs[B] = false;
        }
        break;
      case 3:  // inside SB ... IAC SE: nothing we asked for, so all of it is dropped
        if (B == kIac) FState = 4;
        break;
      default:  // IAC inside a subnegotiation: SE ends it, IAC IAC is a data byte of it
        FState = B == kSe ? 0 : 3;
        break;
    }
  }
}

}  // namespace launcher
