// zelkit-launch's config file: the TOML file that --config names, read with the option table's rows
// as its keys and [[door]] tables as the door table, and its reload on SIGHUP.

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <toml++/toml.h>

#include "tools/launcher/launcher_internal.h"

namespace launcher {

std::vector<std::string> FCommandLine;

namespace {

namespace fs = std::filesystem;

struct TReader {
  std::string File;
  fs::path Folder;  // relative paths in the file are taken from here

  std::string At(const toml::source_region& ASource) const {
    return File + ":" + std::to_string(ASource.begin.line) + ": ";
  }
  std::string Resolve(const std::string& APath) const {
    if (APath.empty() || fs::path(APath).is_absolute()) return APath;
    return (Folder / APath).lexically_normal().string();
  }
  // An array of strings, or a single string as an array of one.
  std::string Strings(const toml::node& ANode, const std::string& AKey, std::vector<std::string>& AOut) const {
    if (const auto* One = ANode.as_string()) {
      AOut.push_back(One->get());
      return "";
    }
    const auto* Array = ANode.as_array();
    if (Array == nullptr) return At(ANode.source()) + AKey + " takes a list of strings, e.g. [\"a\", \"b\"]";
    for (const toml::node& Item : *Array) {
      if (!Item.is_string()) return At(Item.source()) + AKey + " takes a list of strings, e.g. [\"a\", \"b\"]";
      AOut.push_back(Item.as_string()->get());
    }
    return "";
  }

  std::string Door(const toml::table& ATable, TOptions& AOptions) const {
    TDoor Door;
    Door.Where = At(ATable.source());
    for (const auto& [Key, Node] : ATable) {
      const std::string Name(Key.str());
      if (Name == "code" || Name == "path" || Name == "workdir") {
        if (!Node.is_string()) return At(Node.source()) + "door " + Name + " takes a string";
        const std::string Value = Node.as_string()->get();
        if (Name == "code") Door.Code = Value;
        else if (Name == "path") Door.Path = Resolve(Value);
        else Door.WorkDir = Resolve(Value);
      } else if (Name == "args") {
        if (std::string Why = Strings(Node, "door args", Door.Args); !Why.empty()) return Why;
      } else {
        return At(Key.source()) + "unknown key " + Name + " in a [[door]] (code, path, args, workdir)";
      }
    }
    if (Door.Path.empty()) return Door.Where + "a [[door]] needs a path";
    if (Door.Code.empty()) Door.Code = fs::path(Door.Path).filename().string();
    const TDoor AsCode = ParseDoor(Door.Code + "=x");
    if (AsCode.Code != Door.Code) return Door.Where + "door code " + Door.Code + ": letters, digits, _ and - only, 1 to 32";
    AOptions.Doors.push_back(Door);
    return "";
  }

  std::string Option(const TOptionRow& ARow, const toml::node& ANode, TOptions& AOptions) const {
    const std::string Here = At(ANode.source());
    auto Store = [&](const std::string& AText, long ANumber) {
      std::string Why = ARow.Set(AOptions, AText, ANumber);
      if (Why.empty()) return Why;
      return Here + (Why.rfind(ARow.Name, 0) == 0 ? Why : std::string(ARow.Name) + " " + Why);
    };
    switch (ARow.Kind) {
      case vkFlag:
        if (!ANode.is_boolean()) return Here + ARow.Name + " takes true or false";
        return Store(ANode.as_boolean()->get() ? "true" : "false", ANode.as_boolean()->get() ? 1 : 0);
      case vkNumber: {
        const auto* Number = ANode.as_integer();
        if (Number == nullptr || Number->get() < ARow.Min || Number->get() > ARow.Max)
          return Here + ARow.Name + " takes a number from " + std::to_string(ARow.Min) + " to " + std::to_string(ARow.Max);
        return Store(std::to_string(Number->get()), static_cast<long>(Number->get()));
      }
      case vkText:
        if (!ANode.is_string()) return Here + ARow.Name + " takes a string";
        return Store(ARow.IsPath ? Resolve(ANode.as_string()->get()) : ANode.as_string()->get(), 0);
      case vkList: {
        std::vector<std::string> Values;
        if (std::string Why = Strings(ANode, ARow.Name, Values); !Why.empty()) return Why;
        for (const std::string& V : Values)
          if (std::string Why = Store(ARow.IsPath ? Resolve(V) : V, 0); !Why.empty()) return Why;
        return "";
      }
      case vkDoor: {
        const auto* Tables = ANode.as_array();
        if (Tables == nullptr || !Tables->is_array_of_tables())
          return Here + "doors are [[door]] tables, each with path (and code, args, workdir)";
        for (const toml::node& Table : *Tables)
          if (std::string Why = Door(*Table.as_table(), AOptions); !Why.empty()) return Why;
        return "";
      }
    }
    return "";
  }
};

}  // namespace

std::string LoadConfigFile(const std::string& AFile, TOptions& AOptions) {
  std::ifstream In(AFile, std::ios::binary);
  if (!In) return AFile + ": " + std::strerror(errno);
  std::ostringstream Text;
  Text << In.rdbuf();
  std::error_code Ec;
  TReader Reader{AFile, fs::absolute(AFile, Ec).parent_path()};
  toml::table Table;
  try {
    Table = toml::parse(Text.str(), AFile);
  } catch (const toml::parse_error& E) {
    return Reader.At(E.source()) + std::string(E.description());
  }
  for (const auto& [Key, Node] : Table) {
    const std::string Name(Key.str());
    const TOptionRow* Row = FindOptionRow(Name);
    if (Row == nullptr || Row->Place == opCommandLine) return Reader.At(Key.source()) + "unknown key " + Name;
    if (std::string Why = Reader.Option(*Row, Node, AOptions); !Why.empty()) return Why;
  }
  AOptions.ConfigPath = AFile;
  return "";
}

void ReloadConfig() {
  TOptions New;
  std::string Why = LoadConfigFile(FOptions.ConfigPath, New);
  if (Why.empty()) Why = ApplyCommandLine(New, FCommandLine);
  if (Why.empty()) Why = FinishOptions(New);
  if (Why.empty()) Why = CheckDoors(New);
  if (!Why.empty()) {
    Log("zelkit-launch: reload refused, the running configuration stays: " + Why, llError);
    return;
  }
  // The listeners, the nodes, the terminal and the web and SSH front doors were set up with these; they
  // change at the next start.
  const TOptions Old = FOptions;
  std::string Kept;
  auto Keep = [&Kept](bool AChanged, const char* AName) {
    if (AChanged) Kept += (Kept.empty() ? "" : ", ") + std::string(AName);
  };
  std::error_code Ec;
  Keep(New.Port != Old.Port, "port");
  Keep(New.RloginPort != Old.RloginPort, "rlogin-port");
  Keep(New.Bind != Old.Bind, "bind");
  Keep(fs::absolute(New.Base, Ec).lexically_normal().string() != Old.Base, "base");
  Keep(New.MaxNodes != Old.MaxNodes, "max-nodes");
  Keep(New.Console != Old.Console, "console");
  Keep(New.WebPort != Old.WebPort || New.WebRoot != Old.WebRoot || New.WebOrigins != Old.WebOrigins ||
           New.WebStallSeconds != Old.WebStallSeconds || New.WebPending != Old.WebPending,
       "web");
  Keep(New.SshPort != Old.SshPort || New.SshHostKey != Old.SshHostKey || New.SshAuthorizedKeys != Old.SshAuthorizedKeys,
       "ssh");
  {
    const std::unique_lock<std::mutex> Lock = LockAddressLists();
    FOptions = New;
    FOptions.Port = Old.Port;
    FOptions.RloginPort = Old.RloginPort;
    FOptions.Bind = Old.Bind;
    FOptions.Base = Old.Base;
    FOptions.MaxNodes = Old.MaxNodes;
    FOptions.Console = Old.Console;
    FOptions.WebPort = Old.WebPort;
    FOptions.WebRoot = Old.WebRoot;
    FOptions.WebOrigins = Old.WebOrigins;
    FOptions.WebStallSeconds = Old.WebStallSeconds;
    FOptions.WebPending = Old.WebPending;
    FOptions.SshPort = Old.SshPort;
    FOptions.SshHostKey = Old.SshHostKey;
    FOptions.SshAuthorizedKeys = Old.SshAuthorizedKeys;
  }
  std::string Doors;
  for (const TDoor& D : FOptions.Doors) Doors += (Doors.empty() ? "" : ", ") + D.Code;
  Log("zelkit-launch: reloaded " + FOptions.ConfigPath + ": doors " + Doors + ", for new callers");
  if (!Kept.empty()) Log("zelkit-launch: " + Kept + " changed in the file; that takes a restart", llWarning);
}

}  // namespace launcher
