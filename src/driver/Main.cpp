// The run driver: one pass from start-up to the end of the run.
#include "driver/Main.h"

#include <optional>

#include "driver/Reply.h"

#include "conditions/ActionFilters.h"
#include "conditions/Filters.h"
#include "conditions/Inventory.h"
#include "conditions/OsInfo.h"
#include "core/CleanUp.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/PlainXml.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "core/SafeNames.h"
#include "driver/RunDeadline.h"
#include "platform/CrashHandler.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "scripts/ScriptPackages.h"
#include "scripts/Seals.h"
#include "server/Download.h"
#include "server/Reports.h"
#include "server/WebPost.h"
#include "system/Popup.h"
#include "system/ProcessControl.h"
#include "system/Scheduler.h"

namespace kdht {
namespace {

constexpr const char* kAgentKey = "SOFTWARE\\VORNOD";
constexpr const char* kDomClsid = "{F6D90F11-9C73-11D3-B32E-00C04F990BB4}";

// What a stretch of the run returns: nothing while the run goes on, else how it ends.
using Outcome = std::optional<RunEnd>;

// After start-up a failing statement is skipped and the run goes on with the next one.
template <class F>
bool Step(F&& body) {
  try {
    body();
    return true;
  } catch (...) {
    return false;
  }
}

// A write whose loss matters: its failure is logged with its reason and becomes the run's
// failure reason, so that nothing is sealed or reported as done after it.
template <class F>
bool Written(RunState& rs, const std::string& what, F&& body) {
  try {
    body();
    return true;
  } catch (...) {
    const Failure f = CurrentFailure();
    rs.sStatus = what + " : " + std::to_string(f.number()) + " (" + f.description() + ")";
    WriteLog(rs, "ERR : " + rs.sStatus);
    return false;
  }
}

// A condition that cannot be computed counts as not met.
template <class F>
bool Test(F&& condition) {
  try {
    return condition();
  } catch (...) {
    return false;
  }
}

// Identifier and version of "no valid template held".
void NameNoTemplate(RunState& rs) {
  static const std::string kNone = "0";
  rs.TempId = kNone;
  rs.TempVer = kNone;
}

bool IsDH(const RunState& rs) { return platform::Upper(rs.CommandWord) == "DH"; }

std::string ExeBaseName(const std::string& exePath) {
  std::string name = FileSystemService::GetFileName(exePath);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// Locals of the run that later stretches share.
struct RunLocals {
  std::string SavedTemplatePath;
  bool RssSitesPresent = false;
  bool ScriptActionFound = false;
  bool InventoryTaken = false;
};

void ShowPopup(RunState& rs, const std::string& body, std::int32_t displayTime) {
  std::string closedBy;
  fncCallPopup(rs, 3, "Desk Herald", body, displayTime, 1300, 6000, 100, 1, closedBy);
}

// Loads a template file into rsXML. The document held so far is dropped first (with the one
// node kept from it): nothing reads it once another load is asked for, and a failed load leaves
// the document empty either way, but kept while the new one is parsed it would double the peak
// memory of a pass with a large template.
bool LoadTemplate(RunState& rs, const std::string& path) {
  rs.FilterElement.reset();
  rs.rsXML.value().LoadXml("");
  return rs.rsXML.value().Load(path);
}

// The held template's names when the file is in the plain form; nothing when it is not, or
// cannot be read here (the DOM's load then decides, and logs, as for any other file).
std::optional<plainxml::TemplateNames> ReadPlainTemplateNames(const std::string& path) {
  try {
    return plainxml::ReadTemplateNames(platform::ReadFileBytes(path));
  } catch (...) {
    return std::nullopt;
  }
}

std::string ElementText(RunState& rs, const std::string& path) {
  auto node = rs.rsXML.value().SelectSingle(path);
  if (!node) throw Failure(91, "Object variable or With block variable not set");
  return node->Text();
}

// ---- Start-up -------------------------------------------------------------------------

}  // namespace

std::string ReadInstallPath(RunState& rs) {
  std::string path = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, "InstallationPath", 1);
  path = GetShortPath(rs, path);
  if (path.empty() || !rs.FileSys.FolderExists(path)) return {};
  path = text::ReplaceAll(path, "\\\\", "\\");
  const std::string trimmed = text::Trim(path);
  if (trimmed.empty() || trimmed.back() != '\\') path += "\\";
  return path;
}

std::string IdentityFault(const std::string& valueName, const std::string& value) {
  if (valueName == "Type") return platform::Upper(value) == "RORI" ? std::string() : "ERR : Invalid RegType::" + value;
  if (text::LeadingNumber(value) != 0) return {};
  if (valueName == "RegID") return "ERR : RegId not found";
  return "ERR : " + valueName + " not found";
}

namespace {

// Nothing when start-up is complete; otherwise how the run ends.
Outcome StartUp(RunState& rs, std::optional<platform::SingleInstance>& instance) {
  int erl = 0;
  try {
    erl = 2;
    rs.ExePath = platform::ExecutablePath();
    const std::string baseName = ExeBaseName(rs.ExePath);
    instance.emplace("Global\\kDHT.Run." + platform::Upper(baseName));
    if (!instance->acquired()) return RunEnd::Silent;

    erl = 3;
    RegisterRuntimeDLLs(rs);
    erl = 4;
    rs.FileSys = FileSystemService();
    erl = 5;
    rs.InstallPath = ReadInstallPath(rs);
    erl = 7;
    if (rs.InstallPath.empty()) return RunEnd::Silent;
    erl = 10;
    rs.LogFilePath = rs.InstallPath + "ApplicationLog\\kXPRLog\\" + baseName + ".log";
    platform::SetCrashLog(rs.LogFilePath);
    erl = 11;
    if (!ApplyLogSizeLimit(rs)) return RunEnd::Silent;
    erl = 12;
    WriteLog(rs, std::string(85, '*'));
    WriteLog(rs, "MSG : Application started");
    WriteLog(rs, "MSG : Getting ExeVersion : ");
    if (rs.LogUnusable) return RunEnd::Silent;
    erl = 13;
    rs.ExeVersion = FileVerInfo(rs, FileSystemService::GetParentFolderName(rs.ExePath) + "\\" + baseName + ".Exe");
    WriteLog(rs, "MSG : ExeVersion : " + rs.ExeVersion);
    erl = 14;
    WriteLog(rs, "MSG : VORN installation path : " + rs.InstallPath);

    erl = 15;
    // Read and tested one after another: a missing identifier ends the run before the next is read.
    const struct {
      const char* valueName;
      std::string RunState::*variable;
      const char* label;
    } identity[] = {
        {"RegID", &RunState::RegId, "MSG : RegId : "},
        {"MemberID", &RunState::MemberId, "MSG : MemberId : "},
        {"SiteID", &RunState::SiteId, "MSG : SiteId : "},
        {"Type", &RunState::RegType, "MSG : RegType : "},
    };
    for (const auto& id : identity) {
      std::string& value = rs.*id.variable;
      value = ReadReg(rs, platform::Hive::LocalMachine, kAgentKey, id.valueName, 1);
      WriteLog(rs, id.label + value);
      const std::string fault = IdentityFault(id.valueName, value);
      if (!fault.empty()) {
        WriteLog(rs, fault);
        return RunEnd::EndOfRun;
      }
    }

    erl = 16;
    rs.CommandLine = rs.Arguments();
    WriteLog(rs, "MSG : Command line parameter : " + rs.CommandLine);
    if (text::Contains(rs.CommandLine, ",")) {
      const auto pieces = text::Split(rs.CommandLine, ",");
      rs.CommandWord = pieces[0];
      rs.TestTemplateId = text::Trim(pieces[1]);
    } else {
      rs.CommandWord = platform::Upper(rs.CommandLine);
    }

    erl = 17;
    if (IsDH(rs)) {
      ShowPopup(rs, "Updating please wait...", 1000);
      platform::PumpMessagesOnce();
    }

    erl = 18;
    const std::string schedulerFolder = rs.InstallPath + "Scheduler INI\\";
    WriteLog(rs, "MSG : Check FolderExists " + schedulerFolder);
    if (!rs.FileSys.FolderExists(schedulerFolder)) {
      WriteLog(rs, "MSG : Folder does not Exists " + schedulerFolder);
      rs.FileSys.CreateFolder(rs.InstallPath + "Scheduler INI");
    }
    erl = 19;
    WriteLog(rs, "MSG : CreateObject('msxml.DOMDocument')");
  } catch (...) {
    const Failure f = CurrentFailure();
    rs.sStatus = std::to_string(f.number()) + " (" + f.description() + ")";
    // Before the log path is set this line has nowhere to go, and the run ends silently.
    if (!WriteLog(rs, "ERR : " + rs.sStatus + " Erl " + std::to_string(erl) + " in procedure Main of Module modMain")) {
      return RunEnd::Silent;
    }
    WPFailure(rs);
    return RunEnd::EndOfRun;
  }
  return std::nullopt;
}

// The template document is created when a pass first needs it: the pass that ends with "No New
// Template" after reading a plainly held template never does, and is spared loading the XML
// component. It is tried once a run, as it was at start-up.
void EnsureTemplateDocument(RunState& rs) {
  if (rs.rsXML || rs.TemplateDocumentTried) return;
  rs.TemplateDocumentTried = true;
  UseCom(rs);
  try {
    rs.rsXML = platform::XmlDocument::CreateByProgId("msxml2.DOMDocument");
  } catch (...) {
    WriteLog(rs, "ERR : " + CurrentFailure().description());
    WriteLog(rs, "MSG : Set rsXML = New MSXML2.DOMDocument");
    Step([&] { rs.rsXML = platform::XmlDocument::CreateByClsid(kDomClsid); });
  }
}

// ---- Template request -----------------------------------------------------------------

void RemoveFeature(RunState& rs) {
  const std::string herald = rs.InstallPath + "kXPR\\Herald";
  Step([&] { WriteLog(rs, "MSG : Deleting folder " + rs.InstallPath + "kXPR\\Herald\\"); });
  Step([&] {
    if (rs.FileSys.FolderExists(herald)) rs.FileSys.DeleteFolder(herald, true);
  });
  Step([&] { StopDesktopApp(rs); });
  Step([&] { ClearSchedules(rs); });
}

// Names the held template in TempId and TempVer, "0" and "0" when none is trusted. Ends the run
// only when the checksum library is missing.
Outcome ReadHeldTemplate(RunState& rs) {
  const std::string menu = rs.InstallPath + "kXPR\\Herald\\kDHMenu.xml";
  const std::string data = rs.InstallPath + "kXPR\\Herald\\kDHMenu.dat";
  if (!Test([&] { return rs.FileSys.FileExists(menu); })) {
    NameNoTemplate(rs);
    return std::nullopt;
  }
  WriteLog(rs, "MSG : Template xml found: " + menu);
  Step([&] { rs.FileChecksum = Checksum(rs, menu, rs.sStatus); });
  if (!rs.sStatus.empty()) {
    NameNoTemplate(rs);
    WPFailure(rs);
    return RunEnd::EndOfRun;
  }
  const bool trusted =
      Test([&] { return rs.FileSys.FileExists(data) && GetDecryptedMD5(rs, data, rs.FileChecksum); });
  if (!trusted) {
    CleanUpPostProcess(rs);
    NameNoTemplate(rs);
    return std::nullopt;
  }
  WriteLog(rs, "MSG: Process continue after commenting the create object part");
  // The held template is read only for its names. In the plain form this program saves it in,
  // they are read without a DOM of the whole file (which costs a large template a third of a
  // second on every run); anything else is loaded through the DOM, which accepts or refuses it.
  const std::optional<plainxml::TemplateNames> plain = ReadPlainTemplateNames(menu);
  if (plain) {
    WriteLog(rs, "MSG : Reading Tempid and tempver from " + menu);
    rs.TempId = plain->templateId;
    rs.TempVer = plain->templateVer;
    WriteLog(rs, "MSG : tempid : " + rs.TempId);
    WriteLog(rs, "MSG : tempver : " + rs.TempVer);
    return std::nullopt;
  }
  EnsureTemplateDocument(rs);
  if (Test([&] { return rs.rsXML.value().Load(menu); })) {
    WriteLog(rs, "MSG : Reading Tempid and tempver from " + menu);
    // Named by its document element, as it was when processed: a root written with attributes
    // (<dcmgetdeskheraldtemplate version="2">) must not make a trusted template count as none,
    // which would have it sent, installed and the runner restarted again on every run.
    std::string root = "dcmtesttoolgetdhtmpmemb";
    Step([&] { root = rs.rsXML.value().DocumentElement().value().Name(); });
    Step([&] { rs.TempId = ElementText(rs, root + "/templateid"); });
    Step([&] { rs.TempVer = ElementText(rs, root + "/templatever"); });
    WriteLog(rs, "MSG : tempid : " + rs.TempId);
    WriteLog(rs, "MSG : tempver : " + rs.TempVer);
  } else {
    WriteLog(rs, "MSG : Failed to load Template : " + menu);
    NameNoTemplate(rs);
    CleanUpPostProcess(rs);
  }
  return std::nullopt;
}

// The staging area of a reply that is read on: the leftovers of an earlier run removed, the
// scripts' staging folder in place.
void PrepareStaging(RunState& rs) {
  CleanUpPreProcess(rs);
  Step([&] { platform::MakeSureDirectoryPathExists(rs.InstallPath + "kXPR\\Herald\\PreProcessScripts\\"); });
}

// An empty reply: the machine is to hold no template.
void DiscardHeldTemplate(RunState& rs) {
  CleanUpPostProcess(rs);
  Step([&] {
    const std::string icon = rs.InstallPath + "kXPR\\Herald\\Icon";
    if (rs.FileSys.FolderExists(icon)) rs.FileSys.DeleteFolder(icon, false);
  });
  Step([&] { ClearSchedules(rs); });
  rs.sStatus.clear();
  NameNoTemplate(rs);
}

// Posts the template request and acts on the reply's kind. Nothing when the run goes on with
// `kind` (a template to process, or an empty reply), else how it ends.
Outcome RequestTemplate(RunState& rs, ReplyKind& kind) {
  using text::XmlEscape;
  const TemplateRequest request = rs.TestTemplateId.empty() ? TemplateRequest::Ordinary : TemplateRequest::TestTool;
  if (request == TemplateRequest::TestTool) {
    rs.TemplateRoot = "dcmtesttoolgetdhtmpmemb";
    std::string url = BuildRequestUrl(rs, "wpdcmtesttoolgetdhtmpmemb");
    rs.PostXml = "<wpdcmtesttoolgetdhtmpmemb><mmid>" + XmlEscape(rs.MemberId) + "</mmid><regid>" +
                 XmlEscape(rs.RegId) + "</regid><tmplatid>" + XmlEscape(rs.TestTemplateId) +
                 "</tmplatid></wpdcmtesttoolgetdhtmpmemb>";
    rs.PostXml = WebPost(rs, rs.PostXml, url, rs.PostError);
  } else {
    rs.TemplateRoot = "dcmgetdeskheraldtemplate";
    if (Outcome end = ReadHeldTemplate(rs)) return end;
    if (text::Trim(rs.TempId).empty()) rs.TempId = std::string(1, '0');
    if (text::Trim(rs.TempVer).empty()) rs.TempVer = std::string(1, '0');
    std::string url = BuildRequestUrl(rs, "wpdcmgetdeskheraldtemplate");
    rs.PostXml = "<wpdcmgetdeskheraldtemplate><mmid>" + XmlEscape(rs.MemberId) + "</mmid><regid>" +
                 XmlEscape(rs.RegId) + "</regid><tmplatid>" + XmlEscape(rs.TempId) + "</tmplatid>" + "<tmplatver>" +
                 XmlEscape(rs.TempVer) + "</tmplatver></wpdcmgetdeskheraldtemplate>";
    rs.PostXml = WebPost(rs, rs.PostXml, url, rs.PostError);
  }

  kind = ClassifyReply(request, rs.PostXml, rs.PostError);
  switch (kind) {
    case ReplyKind::PostFailed:
      return RunEnd::EndOfRun;
    case ReplyKind::Excluded:
      WriteLog(rs, "MSG : Resource or site excluded");
      RemoveFeature(rs);
      rs.sStatus.clear();
      NameNoTemplate(rs);
      WPSuccess(rs);
      return RunEnd::EndOfRun;
    case ReplyKind::NotForServers:
      WriteLog(rs, "MSG : Template Not Applicable for server");
      RemoveFeature(rs);
      return RunEnd::EndOfRun;
    case ReplyKind::Empty:
      PrepareStaging(rs);
      DiscardHeldTemplate(rs);
      return std::nullopt;
    case ReplyKind::NoNewTemplate:
      PrepareStaging(rs);
      return RunEnd::EndOfRun;
    case ReplyKind::Template:
      PrepareStaging(rs);
      return std::nullopt;
  }
  return RunEnd::EndOfRun;
}

// ---- Template processing --------------------------------------------------------------

void DownloadIcon(RunState& rs) {
  std::string iconText;
  if (!Step([&] { iconText = ElementText(rs, rs.TemplateRoot + "/icon"); })) return;
  const std::string trimmed = text::Trim(iconText);
  WriteLog(rs, "MSG : icon : " + trimmed);
  if (trimmed.empty()) return;
  // Only a web address: the system download also follows file: and other schemes, which would
  // copy any file the agent can read into the feature folder that users see.
  const std::string scheme = text::AsciiUpper(trimmed.substr(0, trimmed.find(':') + 1));
  if (scheme != "HTTP:" && scheme != "HTTPS:") {
    WriteLog(rs, "ERR : Invalid icon URL : " + trimmed);
    return;
  }
  const std::string iconFolder = rs.InstallPath + "kXPR\\Herald\\Icon\\";
  const size_t slash = trimmed.rfind('/');
  const std::string fileName = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  // The name comes from the server: it must stay a plain file name inside the icon folder.
  if (!IsSafeFileName(fileName) || !IsInsideFolder(iconFolder + fileName, rs.InstallPath + "kXPR\\Herald")) {
    WriteLog(rs, "ERR : Invalid icon file name : " + fileName);
    return;
  }
  Step([&] { platform::MakeSureDirectoryPathExists(iconFolder); });
  Step([&] { rs.FileSys.DeleteFiles(rs.InstallPath + "kXPR\\Herald\\Icon", false); });
  Step([&] {
    std::string url = iconText;
    std::string destination = iconFolder + fileName;
    DownloadFileContent(rs, url, destination);
  });
}

void AnswerPlainAction(RunState& rs, platform::XmlNode& action) {
  Step([&] { WriteLog(rs, "MSG : " + action.Attribute("name").value() + " found"); });
  // A condition counts when the action has it as a child, however it is written (with
  // attributes too): a condition passed over would answer "true" for any machine.
  if (!AnswerPlainConditions(rs, action).satisfied) rs.FilterSatisfied = false;
  const std::string answer = AnswerText(rs.FilterSatisfied);
  // An existing answer is reused whatever its serialised form (<filtersatisfied/>, or with
  // attributes): a second element would leave the stale first one to be read.
  Step([&] {
    if (auto existing = action.SelectSingle("filtersatisfied")) {
      existing->SetText(answer);
      return;
    }
    rs.FilterElement = rs.rsXML.value().CreateElement("filtersatisfied");
    rs.FilterElement->SetText(answer);
    action.AppendChild(*rs.FilterElement);
  });
}

void ProcessTemplate(RunState& rs, RunLocals& locals) {
  const std::string herald = rs.InstallPath + "kXPR\\Herald";
  const std::string preTemplate = herald + "\\Pre_kDHMenu.xml";
  const std::string menu = herald + "\\kDHMenu.xml";

  CleanUpPostProcess(rs);
  Step([&] { rs.PostXml = text::ReplaceAll(rs.PostXml, "Execute X&PR Script", "Execute XPR Script"); });
  WriteLog(rs, "MSG : Saving xml to " + preTemplate);
  WriteLog(rs, "MSG : After processing it will be copied to " + menu);
  Step([&] { platform::MakeSureDirectoryPathExists(herald + "\\"); });
  // A staged file that could not be written is not loadable: the load below then fails the run.
  try {
    rs.FileSys.WriteUnicodeText(preTemplate, rs.PostXml);
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : Unable to write " + preTemplate + " : " + std::to_string(f.number()) + " (" +
                     f.description() + ")");
  }
  // From here on the template is read from the staged file; the reply's text is not needed
  // again, and a large template would otherwise be held twice for the rest of the run.
  std::string().swap(rs.PostXml);
  locals.SavedTemplatePath = preTemplate;
  NameNoTemplate(rs);

  EnsureTemplateDocument(rs);
  const bool loaded = Test([&] { return LoadTemplate(rs, locals.SavedTemplatePath); });
  if (!loaded) {
    WriteLog(rs, "MSG : Unable to load xml : " + locals.SavedTemplatePath);
    rs.sStatus = "Unable to load Template xml";
  } else {
    // The document element, not merely the last node: a comment after it must not hide the
    // template's identity and actions (which would install it unanswered and report it as 0/0).
    Step([&] { rs.TemplateRoot = rs.rsXML.value().DocumentElement().value().Name(); });
    DownloadIcon(rs);
    Step([&] { rs.TempId = ElementText(rs, rs.TemplateRoot + "/templateid"); });
    Step([&] { rs.TempVer = ElementText(rs, rs.TemplateRoot + "/templatever"); });
    Step([&] { locals.RssSitesPresent = !text::Trim(ElementText(rs, rs.TemplateRoot + "/rsssites")).empty(); });
    Step([&] { WriteLog(rs, "MSG : rssupd : " + ElementText(rs, rs.TemplateRoot + "/rssupd")); });

    std::vector<platform::XmlNode> actions;
    Step([&] { actions = rs.rsXML.value().Select(rs.TemplateRoot + "/action"); });
    bool answersUnsaved = false;
    for (auto& action : actions) {
      rs.FilterSatisfied = true;
      if (!locals.InventoryTaken) {
        GetOS(rs);
        GetSoftList(rs);
        GetServices(rs);
        locals.InventoryTaken = true;
      }
      const bool isScript = Test([&] {
        const std::string name = platform::Upper(text::Trim(action.Attribute("name").value()));
        return name == "EXECUTE XPR SCRIPT" || name == "EXECUTE X&PR SCRIPT";
      });
      if (isScript) {
        locals.ScriptActionFound = true;
        WriteLog(rs, "MSG : EXECUTE XPR SCRIPT found");
        Step([&] { WriteLog(rs, "MSG : id : " + action.Attribute("id").value()); });
        Step([&] { rs.sStatus = ProcessXPRScripts(rs, action); });
        if (!rs.sStatus.empty()) break;
      } else {
        AnswerPlainAction(rs, action);
        answersUnsaved = true;
      }
    }
    // The staged template is written once after the actions rather than after each one: the
    // result on disk is the same, and rewriting a large template per action would cost time
    // quadratic in its size. A script action saves it itself before it is processed.
    if (answersUnsaved && rs.sStatus.empty()) {
      Written(rs, "Unable to save " + preTemplate, [&] { rs.rsXML.value().Save(preTemplate); });
    }
    if (!locals.ScriptActionFound) {
      WriteLog(rs, "MSG : EXECUTE XPR SCRIPT not found in template");
      WriteLog(rs, "MSG : EXECUTE ASE SCRIPT not found in template");
    }
  }

  if (rs.sStatus.empty()) {
    const bool staged = Test([&] { return rs.FileSys.FileExists(preTemplate); });
    if (staged) {
      WriteLog(rs, "MSG : Renaming " + preTemplate + " to " + menu);
      // In one step: kDHMenu.xml is the old template or the whole new one, never a part of it.
      if (Written(rs, "Unable to install " + menu, [&] { rs.FileSys.CopyFile(preTemplate, menu); })) {
        Step([&] { rs.FileSys.DeleteFile(preTemplate, false); });
      }
    }
    const std::string staging = herald + "\\PreProcessScripts";
    if (rs.sStatus.empty() && Test([&] { return rs.FileSys.FolderExists(staging); }) && locals.ScriptActionFound) {
      WriteLog(rs, "MSG : Copying Data from " + staging + " to " + herald);
      // Scripts that are not all in place leave the template unsealed and the run failed.
      if (!CopyFiles(rs, staging + "\\", herald + "\\") || !CopyFolders(rs, staging + "\\", herald + "\\")) {
        rs.sStatus = "Unable to copy the scripts from " + staging + " to " + herald;
        WriteLog(rs, "ERR : " + rs.sStatus);
      }
    }
    // The seal is what makes the next run trust the installed template and ask for nothing new:
    // it is written last, once the template's scripts are in place, so that a run ended in
    // between leaves a template that the next run replaces, not one that lacks its scripts.
    if (staged && rs.sStatus.empty()) Step([&] { rs.sStatus = CreateEncMD5(rs, menu); });
  }
  CleanUpPreProcess(rs);
}

// ---- Completion -----------------------------------------------------------------------

void StartRssUpdater(RunState& rs) {
  const std::string updater = rs.InstallPath + "kXPR\\kRSSUpd.exe";
  if (!rs.FileSys.FileExists(updater)) {
    WriteLog(rs, "MSG : File not found : " + updater);
    rs.sStatus = "File not found : " + updater;
    return;
  }
  std::uint32_t token = 0;
  Step([&] { token = GetCurrentUserToken(rs); });
  WriteLog(rs, "MSG : executing kRSSUpd.exe");
  bool started = false;
  if (token != 0) {
    Step([&] {
      started = fncExecuteInUserAcc(rs, token, rs.InstallPath + "KXPR\\kRSSUpd.Exe", "", rs.InstallPath + "KXPR");
    });
  } else {
    Step([&] {
      started = platform::StartProcess(updater, "\"" + updater + "\"", platform::ShowWindow::Hidden) != 0;
    });
  }
  WriteLog(rs, started ? "MSG : Successfully executed kRSSUpd.exe" : "MSG : Unable to execute kRSSUpd.exe");
}

RunEnd Complete(RunState& rs, const RunLocals& locals) {
  const std::string menu = rs.InstallPath + "kXPR\\Herald\\kDHMenu.xml";
  // A pass that read the held template plainly has no document yet; one left in place (held open
  // by another program when it was to be removed) is still read here.
  if (Test([&] { return rs.FileSys.FileExists(menu); })) EnsureTemplateDocument(rs);
  if (Test([&] { return rs.FileSys.FileExists(menu) && LoadTemplate(rs, menu); })) {
    Step([&] { rs.TempId = ElementText(rs, rs.TemplateRoot + "/templateid"); });
    Step([&] { rs.TempVer = ElementText(rs, rs.TemplateRoot + "/templatever"); });
  }
  if (rs.sStatus.empty() && Test([&] { return rs.FileSys.FileExists(menu); })) {
    Step([&] {
      std::string names = "KINDHM.EXE";
      GetProcessList(rs, names, true);
    });
    if (locals.RssSitesPresent) Step([&] { StartRssUpdater(rs); });
    Step([&] { ScheduleKINDHM(rs); });
  }
  if (Test([&] { return UpdateStatus(rs); })) {
    WriteLog(rs, "MSG : sStatus : " + rs.sStatus);
    if (!rs.sStatus.empty()) {
      WPFailure(rs);
    } else {
      WPSuccess(rs);
    }
  } else {
    const std::string message = rs.sStatus.empty() ? "Updated successfully " : "Update failed";
    WriteLog(rs, "MSG : " + message);
    if (IsDH(rs)) ShowPopup(rs, message, 8000);
  }
  // Started by the desktop application, the run has shown its outcome and simply returns.
  return IsDH(rs) ? RunEnd::Returned : RunEnd::EndOfRun;
}

}  // namespace

int ExitCode(RunEnd) {
  // The agent's scheduler and the desktop application do not read it: every run leaves 0.
  return 0;
}

RunEnd Main(RunState& rs) {
  std::optional<platform::SingleInstance> instance;
  RunLocals locals;
  ReplyKind kind = ReplyKind::Template;
  // A log whose folder could not be recreated ends the run, silently, where the driver next looks.
  const auto go = [&](Outcome& end) {
    if (!end && rs.LogUnusable) end = RunEnd::Silent;
    return !end;
  };
  Outcome end = StartUp(rs, instance);
  // From here on the run's log is known: a run that outlives its deadline says so there and ends.
  std::optional<RunDeadline> deadline;
  if (go(end)) {
    deadline.emplace(rs);
    DropUnfinishedStatus(rs);
  }
  if (go(end)) end = RequestTemplate(rs, kind);
  if (go(end) && kind == ReplyKind::Template) ProcessTemplate(rs, locals);
  if (go(end)) end = Complete(rs, locals);
  go(end);
  if (*end == RunEnd::EndOfRun) EndRun(rs);
  return *end;
}

int Run() {
  // Entered when the run first creates a component: the pass that ends with "No New Template"
  // after reading a plainly held template creates none.
  platform::ComApartment com(platform::ComApartment::Entry::OnFirstUse);
  RunEnd end = RunEnd::Silent;
  {
    // Every COM object of the run (the DOM document and its nodes among them) is held here
    // and released before the apartment is left.
    RunState rs;
    rs.Apartment = &com;
    end = Main(rs);
  }
  return ExitCode(end);
}

}  // namespace kdht
