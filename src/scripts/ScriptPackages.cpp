#include "scripts/ScriptPackages.h"

#include "conditions/ActionFilters.h"
#include "conditions/Filters.h"
#include "core/Log.h"
#include "core/RunState.h"
#include "core/SafeNames.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "scripts/Seals.h"
#include "server/WebPost.h"

namespace kdht {
namespace {

constexpr char kProcedure[] = "ProcessXPRScripts";
constexpr char kModule[] = "modMain";
constexpr char kScriptDetails[] = "wpdcmscriptdetails";
constexpr char kTemplateDetails[] = "wpdcmtemplatedetails";

// One step of the procedure: a failure inside is logged and the procedure goes on with the next.
template <class Step>
bool Guarded(RunState& rs, Step&& step) {
  try {
    step();
    return true;
  } catch (...) {
    LogTrap(rs, kProcedure, kModule);
    return false;
  }
}

// The text of an optional child; absent means empty.
std::string OptionalText(RunState& rs, const platform::XmlNode& action, const std::string& name) {
  std::string value;
  Guarded(rs, [&] {
    if (auto child = action.SelectSingle(name)) value = child->Text();
  });
  return value;
}

// The installed copy of a details file is trusted only when its seal matches; anything else
// (missing file, missing or unreadable seal, no checksum) asks for a fresh copy.
bool NeedsFetch(RunState& rs, const std::string& installedFile) {
  if (!rs.FileSys.FileExists(installedFile)) return true;
  WriteLog(rs, "MSG : File Already exists : " + installedFile);
  const std::string sealPath = SealPathFor(installedFile);
  if (!rs.FileSys.FileExists(sealPath)) {
    WriteLog(rs, "MSG : File not found : " + sealPath);
    return true;
  }
  const std::string checksum = Checksum(rs, installedFile, rs.PostError);
  return !GetDecryptedMD5(rs, sealPath, checksum);
}

std::string Post(RunState& rs, const std::string& body, std::string url) {
  rs.PostXml = body;
  std::string reply = WebPost(rs, rs.PostXml, url, rs.PostError);
  rs.PostXml = reply;
  return reply;
}

// Writes one reply into the staging folder and seals it: empty when done, else the failure text.
std::string StageDetails(RunState& rs, const std::string& stagingFolder, const std::string& fileName,
                         const std::string& reply) {
  const std::string path = stagingFolder + fileName;
  Guarded(rs, [&] { platform::MakeSureDirectoryPathExists(stagingFolder); });
  WriteLog(rs, "MSG : Creating file : " + path);
  // A file that could not be written must not be sealed and installed as though it were there.
  if (!Guarded(rs, [&] { rs.FileSys.WriteUnicodeText(path, reply); })) return "Unable to write file : " + path;
  return CreateEncMD5(rs, path);
}

// A server-supplied name as it may appear in the log and the failure reason: control
// characters (a line break would forge a log line) shown as "?".
std::string Printable(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  }
  return out;
}

std::string Join(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

// The action id is the middle of two folders' name, "Action_<id>_XPR": refused only when that
// name would not be one plain folder inside the feature folder, or is one Windows cannot make. An
// empty id, a device name or a trailing blank or dot make an ordinary folder there ("Action__XPR",
// "Action_CON_XPR", "Action_7._XPR"), exactly as written.
bool ActionIdAccepted(const std::string& id, const std::string& installedFolder, const std::string& stagingFolder,
                      const std::string& featureFolder) {
  if (id.size() > 200) return false;  // the staged script's path must stay within MAX_PATH
  return HasOnlyNameCharacters(id) && IsInsideFolder(installedFolder + "XPR_Script.xml", featureFolder) &&
         IsInsideFolder(stagingFolder + "XPR_Script.xml", featureFolder);
}

// What becomes of one identifier of the template list.
TemplateIdPlan PlanTemplateId(RunState& rs, const std::string& written, const std::string& installedFolder,
                              const std::string& stagingFolder, const std::string& featureFolder) {
  TemplateIdPlan plan;
  plan.written = written;
  // The installed copy is looked for under the identifier exactly as written.
  bool fetch = true;
  const std::string installedFile = installedFolder + "XPR_Template_" + written + ".xml";
  if (IsSafeFileName(written) && IsInsideFolder(installedFile, featureFolder)) fetch = NeedsFetch(rs, installedFile);

  plan.templateId = text::Trim(written);
  if (text::LeadingNumber(plan.templateId) == 0) {
    plan.what = TemplateIdPlan::What::NotAnId;
  } else if (!fetch) {
    plan.what = TemplateIdPlan::What::Trusted;
  } else if (!IsSafeFileName(plan.templateId) ||
             !IsInsideFolder(stagingFolder + "XPR_Template_" + plan.templateId + ".xml", featureFolder)) {
    plan.what = TemplateIdPlan::What::Refused;
  }
  return plan;
}

// The folders of one action: installed, staged.
struct ActionFolders {
  std::string feature, installed, staging;
};

ActionFolders FoldersOf(const RunState& rs, const std::string& id) {
  const std::string feature = rs.InstallPath + "kXPR\\Herald";
  return {feature, feature + "\\Action_" + id + "_XPR\\", feature + "\\PreProcessScripts\\Action_" + id + "_XPR\\"};
}

}  // namespace

ActionAnswer AnswerScriptConditions(RunState& rs, const platform::XmlNode& action) {
  ActionAnswer answer;
  for (const auto& c : kConditionChecks) {
    ConditionAnswer asked{c.element, {}, {false, false, std::string("no <") + c.element + "> element: not satisfied"}};
    // A condition that cannot be evaluated counts as not met.
    try {
      asked.condition = action.Child(c.element).Text();
      asked.verdict = c.check(rs, asked.condition);
    } catch (...) {
      LogTrap(rs, kProcedure, kModule);
    }
    if (!asked.verdict.holds) answer.satisfied = false;
    answer.conditions.push_back(std::move(asked));
  }
  return answer;
}

ScriptFetchPlan PlanScriptFetch(RunState& rs, const platform::XmlNode& action) {
  ScriptFetchPlan plan;
  plan.scriptIds = OptionalText(rs, action, "scriptids");
  plan.templateIds = OptionalText(rs, action, "temipds");
  std::string id;
  Guarded(rs, [&] { id = action.Attribute("id").value_or(""); });
  const ActionFolders folders = FoldersOf(rs, id);
  if (!ActionIdAccepted(id, folders.installed, folders.staging, folders.feature)) {
    plan.refused = "Invalid action id : " + Printable(id);
    return plan;
  }
  const bool fetchScripts = NeedsFetch(rs, folders.installed + "XPR_Script.xml");
  plan.fetchScripts = !text::Trim(plan.scriptIds).empty() && fetchScripts;
  plan.scriptsTrusted = !text::Trim(plan.scriptIds).empty() && !fetchScripts;
  const std::vector<std::string> written =
      plan.templateIds.empty() ? std::vector<std::string>{} : text::Split(plan.templateIds, ",");
  for (const std::string& one : written) {
    plan.templates.push_back(PlanTemplateId(rs, one, folders.installed, folders.staging, folders.feature));
    // Processing stops at a refused identifier: later ones are never looked at.
    if (plan.templates.back().what == TemplateIdPlan::What::Refused) {
      plan.refused = "Invalid template id : " + Printable(plan.templates.back().templateId);
      break;
    }
  }
  return plan;
}

std::string ProcessXPRScripts(RunState& rs, platform::XmlNode& action) {
  try {
    const std::string featureFolder = rs.InstallPath + "kXPR\\Herald";
    const std::string herald = featureFolder + "\\";

    // 1. Filter conditions: all three are asked, whatever the earlier verdicts.
    if (!AnswerScriptConditions(rs, action).satisfied) rs.FilterSatisfied = false;

    // 2. E-mail values: only elements that stand in the action's own text are read.
    std::string actionXml;
    Guarded(rs, [&] { actionXml = action.Xml(); });
    auto emailValue = [&](const std::string& name) {
      std::string value;
      Guarded(rs, [&] {
        if (text::Contains(actionXml, "<" + name + ">")) value = action.Child(name).Text();
      });
      return value;
    };
    const std::string subject = emailValue("emailmsgsubject");
    const std::string status = emailValue("executionstatus");
    const std::string groups = emailValue("emailgroupids");
    const std::string reqd = emailValue("emailreqd");
    const std::string email = EmailElement(subject, reqd, groups, status);

    // 3. Filter answer. An existing child is reused whatever its serialised form
    //    (<filtersatisfied/> too), so an action never carries two answers.
    const std::string answer = rs.FilterSatisfied ? "true" : "false";
    Guarded(rs, [&] {
      if (auto existing = action.SelectSingle("filtersatisfied")) {
        existing->SetText(answer);
        return;
      }
      if (!rs.rsXML) throw Failure(91, "Object variable or With block variable not set");
      rs.FilterElement = rs.rsXML->CreateElement("filtersatisfied");
      rs.FilterElement->SetText(answer);
      action.AppendChild(*rs.FilterElement);
    });

    // 4. The staged template carries the answer from here on. Not saved, it would be installed
    //    without the answers (or cut short, on a full disk).
    if (!Guarded(rs, [&] {
          if (!rs.rsXML) throw Failure(91, "Object variable or With block variable not set");
          rs.rsXML->Save(herald + "Pre_kDHMenu.xml");
        })) {
      return "Unable to save " + herald + "Pre_kDHMenu.xml";
    }

    // 5.
    const std::string scriptIds = OptionalText(rs, action, "scriptids");
    const std::string templateIdsText = OptionalText(rs, action, "temipds");
    WriteLog(rs, "MSG : scriptids :  " + scriptIds);

    std::string id;
    Guarded(rs, [&] { id = action.Attribute("id").value_or(""); });
    const ActionFolders folders = FoldersOf(rs, id);
    const std::string& installedFolder = folders.installed;
    const std::string& stagingFolder = folders.staging;
    if (!ActionIdAccepted(id, installedFolder, stagingFolder, featureFolder)) {
      WriteLog(rs, "ERR : Invalid action id : " + Printable(id));
      return "Invalid action id : " + Printable(id);
    }

    // 6, 7. The action's own scripts.
    const bool fetchScripts = NeedsFetch(rs, installedFolder + "XPR_Script.xml");
    if (!text::Trim(scriptIds).empty() && fetchScripts) {
      const std::string url = BuildRequestUrl(rs, kScriptDetails);
      std::string reply = Post(rs, ScriptDetailsRequest(rs.MemberId, scriptIds), url);
      if (reply.empty()) return "webpost failed (wpdcmscriptdetails) scriptids : " + scriptIds;
      reply = InsertBeforeNoCase(reply, "</dcmxprscrdet>", email);
      std::string failure = StageDetails(rs, stagingFolder, "XPR_Script.xml", reply);
      if (!failure.empty()) return failure;
    }

    // 8, 9. The action's script templates.
    WriteLog(rs, "MSG : tempids :  " + templateIdsText);
    const std::string templateUrl = BuildRequestUrl(rs, kTemplateDetails);
    const std::vector<std::string> templateIds =
        templateIdsText.empty() ? std::vector<std::string>{} : text::Split(templateIdsText, ",");
    for (const std::string& written : templateIds) {
      const TemplateIdPlan planned = PlanTemplateId(rs, written, installedFolder, stagingFolder, featureFolder);
      if (planned.what == TemplateIdPlan::What::NotAnId || planned.what == TemplateIdPlan::What::Trusted) continue;
      const std::string& templateId = planned.templateId;
      const std::string fileName = "XPR_Template_" + templateId + ".xml";
      if (planned.what == TemplateIdPlan::What::Refused) {
        WriteLog(rs, "ERR : Invalid template id : " + Printable(templateId));
        return "Invalid template id : " + Printable(templateId);
      }

      const std::string templateReply = Post(rs, TemplateDetailsRequest(rs.MemberId, templateId), templateUrl);
      std::vector<std::string> rejected;
      // Each template's file holds its own scripts only: the list starts empty every time.
      const std::vector<std::string> ids = TemplateScriptIds(templateReply, &rejected);
      for (size_t i = 0; i < rejected.size(); ++i) {
        WriteLog(rs, TrapLine(Failure(5, "Invalid procedure call or argument"), kProcedure, kModule));
      }

      const std::string scriptUrl = BuildRequestUrl(rs, kScriptDetails);
      std::string reply = Post(rs, ScriptDetailsRequest(rs.MemberId, Join(ids, ",")), scriptUrl);
      reply = text::ReplaceAllNoCase(reply, "dcmscriptdetails", "dcmtemplatedetails");
      if (reply.empty()) return "webpost failed (wpdcmtemplatedetails) tempid : " + templateId;
      reply = InsertBeforeNoCase(reply, "</dcmtemplatedetails>", email);
      std::string failure = StageDetails(rs, stagingFolder, fileName, reply);
      if (!failure.empty()) return failure;
    }
    return {};
  } catch (...) {
    // Only an unexpected failure reaches here (every step above guards itself): the action
    // is not prepared, so the caller must not install it.
    const Failure f = CurrentFailure();
    WriteLog(rs, TrapLine(f, kProcedure, kModule));
    return std::to_string(f.number()) + " (" + f.description() + ") in procedure ProcessXPRScripts";
  }
}

}  // namespace kdht
