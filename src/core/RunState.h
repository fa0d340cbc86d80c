// The run-wide variables of one pass, under the names the rest of the program uses for them.
// Main creates exactly one and passes it by reference; nothing else holds run state.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/FileSys.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/Shell.h"
#include "platform/Xml.h"

namespace kdht {

namespace platform {
class ChecksumLibrary;
}

// An inventory list split into entries prepared for comparison, with the text it was made from:
// made again only when that text changes.
struct PreparedList {
  bool ready = false;
  std::string source;
  std::vector<std::string> entries;
};

// Where the run's log lines go. A reader that must leave no trace on the machine (the state
// report) keeps the same procedures and discards their lines: no log file or folder is touched.
enum class LogTarget { File, Discard };

struct RunState {
  LogTarget Log = LogTarget::File;

  // The run's COM apartment, entered (UseCom) before the run first creates a component. Null
  // where the caller holds an apartment of its own.
  platform::ComApartment* Apartment = nullptr;

  // Start-up and identity.
  FileSystemService FileSys;
  std::string InstallPath;   // short form, ends in one backslash
  std::string LogFilePath;
  std::string ExeVersion;
  std::string ExePath;       // full path of the running executable
  std::string CommandLine;   // the arguments as typed
  std::string RegId, MemberId, SiteId, RegType;
  std::string CommandWord;
  std::string TestTemplateId;

  // The one DOM document of the run, created when the run first needs it (tried once).
  std::optional<platform::XmlDocument> rsXML;
  bool TemplateDocumentTried = false;

  // Template request and reply.
  std::string TemplateRoot;
  std::string TempId, TempVer;
  std::string FileChecksum;
  std::string ServerUrl;
  std::string PostXml;
  std::string PostError;

  // Filter verdict of the action being examined.
  bool FilterSatisfied = false;
  std::optional<platform::XmlNode> FilterElement;

  // Failure reason of the run; empty while all goes well.
  std::string sStatus;

  // Machine inventory, taken once per run at the first action.
  std::string OsName, OsServicePack;
  std::string SoftwareList, ServiceList;
  // The same lists as the filter checks compare them, prepared once rather than per condition.
  PreparedList SoftwareEntries, ServiceEntries;

  // The registrations started at the beginning of the run, from a thread joined when the run ends.
  std::unique_ptr<platform::BackgroundStarts> Registrations;

  // Components registered on demand, at most once per run.
  bool JobDownloadRegistered = false;

  // The checksum library, loaded at first use and kept for the run.
  std::shared_ptr<platform::ChecksumLibrary> ChecksumLib;

  // Set by the log when its folder could not be recreated: the run has no log any more.
  bool LogUnusable = false;

  // "Now" and the program's arguments as typed, replaceable by tests.
  std::function<platform::LocalTime()> Now = [] { return platform::Now(); };
  std::function<std::string()> Arguments = [] { return platform::CommandLineArgs(); };
};

// Enters the run's apartment, once, before a component is created.
inline void UseCom(RunState& rs) {
  if (rs.Apartment != nullptr) rs.Apartment->Enter();
}

}  // namespace kdht
