#include "info/Render.h"

#include "info/Json.h"
#include "platform/Text.h"

namespace kdht::info {
namespace {

// "0x" and upper-case hex digits, at least `width` of them.
std::string Hex(std::uint64_t value, int width) {
  std::string digits;
  do {
    digits.insert(digits.begin(), "0123456789ABCDEF"[value % 16]);
    value /= 16;
  } while (value != 0);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
  return "0x" + digits;
}


constexpr const char* kNl = "\r\n";

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// "label" padded to a column, then the value.
std::string Row(const std::string& label, const std::string& value) {
  std::string line = "  " + label;
  if (line.size() < 22) line.append(22 - line.size(), ' ');
  return line + " " + value + kNl;
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ViewCount(const std::optional<std::size_t>& n) {
  return n ? std::to_string(*n) : std::string("none (its Uninstall key cannot be opened)");
}

std::string SoftwareText(const SoftwareCounts& counts) {
  std::string out = ViewCount(counts.view32) + " in the 32-bit view";
  if (counts.has64BitView) out += ", " + ViewCount(counts.view64) + " in the 64-bit view";
  return out;
}

std::string VerdictWord(const CheckVerdict& v) {
  if (!v.present && v.holds) return "none";
  return v.holds ? "holds" : "FAILS";
}

const char* PlanWord(TemplateIdPlan::What what) {
  switch (what) {
    case TemplateIdPlan::What::Fetch: return "fetch";
    case TemplateIdPlan::What::Trusted: return "trusted";
    case TemplateIdPlan::What::NotAnId: return "not an id";
    case TemplateIdPlan::What::Refused: return "refused";
  }
  return "";
}

std::string ScriptsWord(const ScriptFetchPlan& plan) {
  if (plan.fetchScripts) return "fetch";
  return plan.scriptsTrusted ? "trusted" : "none";
}

void InventoryJson(JsonWriter& j, const Inventory& inv) {
  j.Key("inventory").BeginObject();
  j.Member("osName", inv.osName).Member("osServicePack", inv.osServicePack);
  j.Key("software").BeginObject();
  j.Key("view32");
  inv.software.view32 ? j.Number(*inv.software.view32) : j.Null();
  j.Key("view64");
  inv.software.view64 ? j.Number(*inv.software.view64) : j.Null();
  j.Member("has64BitView", inv.software.has64BitView);
  j.EndObject();
  j.Member("services", inv.services);
  j.EndObject();
}

void OptionalStamp(JsonWriter& j, const std::string& key, const std::optional<platform::LocalTime>& t) {
  j.Key(key);
  t ? j.String(text::FormatStamp(*t)) : j.Null();
}

}  // namespace

std::string StateText(const State& s, const std::string& version) {
  std::string out = "kDHTInfo " + version + ": Desk Herald on this machine at " + text::FormatStamp(s.now) + kNl;

  out += std::string(kNl) + "Agent" + kNl;
  out += Row("install folder", s.installPath + "  (registered as " + s.installValue + ")");
  for (const auto& v : s.identity) {
    out += Row(v.name, v.value.empty() ? "(missing)" : v.value);
    if (!v.fault.empty()) out += Row("", "the updater stops here: " + v.fault);
  }

  out += std::string(kNl) + "Held template" + kNl;
  out += Row("file", s.held.path);
  if (!s.held.exists) {
    out += Row("state", "none held (the next run asks for template 0 version 0)");
  } else {
    if (s.held.loaded) {
      out += Row("template", s.held.id + " version " + s.held.version + " (" + s.held.root + ")");
    } else {
      out += Row("template", "cannot be loaded as XML");
    }
    std::string seal = s.held.seal + " (" + s.held.sealDetail + ")";
    if (s.held.seal == "no checksum") {
      seal += "; the next run reports a failure and ends";
    } else if (s.held.seal != "trusted" || !s.held.loaded) {
      seal += "; the next run removes the template and asks for template 0 version 0";
    }
    out += Row("seal", seal);
  }

  out += std::string(kNl) + "Status file" + kNl;
  out += Row("file", s.status.path + (s.status.exists ? "" : "  (missing)"));
  if (s.status.exists) {
    out += Row("last report", (s.status.lastRun.empty() ? std::string("(none)") : s.status.lastRun) +
                                  ": template " + s.status.tempId + " version " + s.status.tempVer + ", " +
                                  (s.status.status.empty() ? std::string("(no outcome)") : s.status.status));
  }
  if (s.status.dueAtNextRun || !s.status.dueBy) {
    out += Row("next report", "due now: reported by the next run that receives a template");
  } else {
    out += Row("next report", "due from " + text::FormatStamp(*s.status.dueBy) +
                                  ", or earlier at a run that receives another template");
  }

  out += std::string(kNl) + "Scheduler requests" + kNl;
  out += Row("folder", s.scheduler.folder);
  if (s.scheduler.requests.empty()) out += Row("waiting", "none");
  for (const auto& r : s.scheduler.requests) {
    const std::string kind = r.file == "kDHT_DeleteSection.ini" ? "remove" : "add";
    out += Row(r.file + " [" + r.section + "]",
               kind + " " + r.executable + " " + r.parameter + ", Interval=" + r.interval + ", " + r.startTime + "-" +
                   r.endTime + ", Weekdays=" + r.weekdays + (r.runner ? "  (the runner)" : ""));
  }

  out += std::string(kNl) + "Post files" + kNl;
  out += Row("folder", s.posts.folder);
  if (s.posts.count == 0) {
    out += Row("waiting", "none");
  } else {
    out += Row("waiting", Count(s.posts.count, "file", "files"));
    if (s.posts.oldestTime) {
      out += Row("oldest", s.posts.oldest + " (" + text::FormatStamp(*s.posts.oldestTime) + ")");
    }
  }

  out += std::string(kNl) + "Runner" + kNl;
  out += Row("kINDHM.exe", s.runnerRunning ? "running (" + Count(s.runnerProcesses, "process", "processes") + ")"
                                           : std::string("not running"));

  out += std::string(kNl) + "Inventory as the filter checks see it" + kNl;
  out += Row("OS", Quoted(s.inventory.osName) + ", service pack " + Quoted(s.inventory.osServicePack));
  out += Row("software", SoftwareText(s.inventory.software));
  out += Row("services", std::to_string(s.inventory.services));

  out += std::string(kNl) + "Crashes of the updater" + kNl;
  out += Row("folder", s.crashes.folder);
  if (s.crashes.newest.empty()) {
    out += Row("dumps", "none");
  } else {
    out += Row("dumps", std::to_string(s.crashes.dumps));
    std::string newest = s.crashes.time ? text::FormatStamp(*s.crashes.time) : std::string("(time unknown)");
    if (const auto& e = s.crashes.exception) {
      newest += ": exception " + Hex(e->code, 8) + " in " + (e->module.empty() ? std::string("?") : e->module) +
                "+" + Hex(e->offset, 1);
    } else {
      newest += ": the dump cannot be read";
    }
    out += Row("newest", newest);
    out += Row("dump", s.crashes.newest);
  }
  return out;
}

std::string StateJson(const State& s, const std::string& version) {
  JsonWriter j;
  j.BeginObject();
  j.Member("tool", "kDHTInfo").Member("version", version).Member("report", "state");
  j.Member("time", text::FormatStamp(s.now));
  j.Key("install").BeginObject().Member("registryValue", s.installValue).Member("path", s.installPath).EndObject();
  j.Key("identity").BeginArray();
  for (const auto& v : s.identity) {
    j.BeginObject().Member("name", v.name).Member("value", v.value).Member("valid", v.fault.empty());
    j.Member("fault", v.fault).EndObject();
  }
  j.EndArray();
  j.Key("heldTemplate").BeginObject();
  j.Member("path", s.held.path).Member("exists", s.held.exists).Member("seal", s.held.seal);
  j.Member("sealDetail", s.held.sealDetail).Member("loaded", s.held.loaded).Member("root", s.held.root);
  j.Member("id", s.held.id).Member("version", s.held.version).EndObject();
  j.Key("status").BeginObject();
  j.Member("path", s.status.path).Member("exists", s.status.exists).Member("lastRunDateTime", s.status.lastRun);
  j.Member("lastRunValid", s.status.lastRunValid).Member("tempId", s.status.tempId);
  j.Member("tempVer", s.status.tempVer).Member("status", s.status.status);
  j.Member("dueAtNextRun", s.status.dueAtNextRun);
  OptionalStamp(j, "dueBy", s.status.dueBy);
  j.EndObject();
  j.Key("scheduler").BeginObject();
  j.Member("folder", s.scheduler.folder).Member("addFileExists", s.scheduler.addFileExists);
  j.Member("deleteFileExists", s.scheduler.deleteFileExists);
  j.Key("requests").BeginArray();
  for (const auto& r : s.scheduler.requests) {
    j.BeginObject().Member("file", r.file).Member("section", r.section).Member("executableName", r.executable);
    j.Member("parameter", r.parameter).Member("startTime", r.startTime).Member("endTime", r.endTime);
    j.Member("interval", r.interval).Member("weekdays", r.weekdays).Member("runner", r.runner).EndObject();
  }
  j.EndArray().EndObject();
  j.Key("postFiles").BeginObject().Member("folder", s.posts.folder).Member("count", s.posts.count);
  j.Key("oldest");
  s.posts.oldestTime ? j.String(s.posts.oldest) : j.Null();
  OptionalStamp(j, "oldestTime", s.posts.oldestTime);
  j.EndObject();
  j.Key("runner").BeginObject().Member("name", "kINDHM.exe").Member("running", s.runnerRunning);
  j.Member("processes", s.runnerProcesses).EndObject();
  InventoryJson(j, s.inventory);
  j.Key("crashes").BeginObject().Member("folder", s.crashes.folder).Member("dumps", s.crashes.dumps);
  j.Key("newest");
  if (s.crashes.newest.empty()) {
    j.Null();
  } else {
    j.BeginObject().Member("dump", s.crashes.newest);
    OptionalStamp(j, "time", s.crashes.time);
    const auto& e = s.crashes.exception;
    j.Member("readable", e.has_value());
    j.Member("code", e ? Hex(e->code, 8) : std::string());
    j.Member("module", e ? e->module : std::string()).Member("offset", e ? Hex(e->offset, 1) : std::string());
    j.EndObject();
  }
  j.EndObject();
  j.EndObject();
  return j.Text() + kNl;
}

std::string ActionsText(const ActionsReport& r, const std::string& version) {
  std::string out = "kDHTInfo " + version + ": the actions of " + r.source + kNl;
  out += "  template " + r.templateId + " version " + r.templateVersion + " (" + r.root + "), " +
         Count(r.actions.size(), "action", "actions") + kNl;
  out += "  machine: OS " + Quoted(r.inventory.osName) + ", service pack " + Quoted(r.inventory.osServicePack) +
         "; software " + SoftwareText(r.inventory.software) + "; " + std::to_string(r.inventory.services) +
         " services" + kNl;
  for (const auto& a : r.actions) {
    out += kNl;
    out += std::to_string(a.index) + ". action " + (a.hasId ? a.id : std::string("(no id)")) + " " +
           (a.hasName ? Quoted(a.name) : std::string("(no name)")) + ", " + (a.script ? "script" : "plain") +
           ": filtersatisfied = " + AnswerText(a.answer.satisfied) + kNl;
    if (a.answer.conditions.empty()) out += "     no conditions" + std::string(kNl);
    for (const auto& c : a.answer.conditions) {
      std::string head = "     " + c.element;
      head.append(head.size() < 18 ? 18 - head.size() : 1, ' ');
      std::string word = VerdictWord(c.verdict);
      word.append(word.size() < 7 ? 7 - word.size() : 1, ' ');
      out += head + word + c.verdict.reason + kNl;
      if (c.verdict.present) out += std::string(25, ' ') + "condition: " + c.condition + kNl;
    }
    if (!a.script) continue;
    const ScriptFetchPlan& p = a.plan;
    if (!p.refused.empty()) {
      out += "     refused: " + p.refused + " (processing stops here; nothing is installed)" + std::string(kNl);
    }
    std::string scripts = "     scripts          ";
    if (p.fetchScripts) {
      scripts += p.scriptIds + " would be fetched";
    } else if (p.scriptsTrusted) {
      scripts += p.scriptIds + ": the installed copy is trusted, not fetched";
    } else {
      scripts += "none to fetch";
    }
    out += scripts + kNl;
    std::string fetched, kept;
    for (const auto& t : p.templates) {
      if (t.what == TemplateIdPlan::What::Fetch) {
        fetched += (fetched.empty() ? "" : ", ") + t.templateId;
      } else {
        kept += (kept.empty() ? "" : ", ") + Quoted(t.written) + " " + PlanWord(t.what);
      }
    }
    out += "     templates        " + (fetched.empty() ? std::string("none to fetch") : fetched + " would be fetched") +
           (kept.empty() ? std::string() : "; not fetched: " + kept) + kNl;
  }
  return out;
}

std::string ActionsJson(const ActionsReport& r, const std::string& version) {
  JsonWriter j;
  j.BeginObject();
  j.Member("tool", "kDHTInfo").Member("version", version).Member("report", "actions");
  j.Member("source", r.source);
  j.Key("template").BeginObject().Member("root", r.root).Member("id", r.templateId);
  j.Member("version", r.templateVersion).EndObject();
  InventoryJson(j, r.inventory);
  j.Key("actions").BeginArray();
  for (const auto& a : r.actions) {
    j.BeginObject().Member("index", a.index);
    j.Key("id");
    a.hasId ? j.String(a.id) : j.Null();
    j.Key("name");
    a.hasName ? j.String(a.name) : j.Null();
    j.Member("kind", a.script ? "script" : "plain");
    j.Member("filtersatisfied", AnswerText(a.answer.satisfied));
    j.Key("conditions").BeginArray();
    for (const auto& c : a.answer.conditions) {
      j.BeginObject().Member("element", c.element).Member("condition", c.condition);
      j.Member("present", c.verdict.present).Member("holds", c.verdict.holds).Member("reason", c.verdict.reason);
      j.EndObject();
    }
    j.EndArray();
    if (a.script) {
      const ScriptFetchPlan& p = a.plan;
      j.Key("fetch").BeginObject();
      j.Member("scriptIds", p.scriptIds).Member("scripts", ScriptsWord(p)).Member("templateIds", p.templateIds);
      j.Key("templates").BeginArray();
      for (const auto& t : p.templates) {
        j.BeginObject().Member("written", t.written).Member("id", t.templateId).Member("plan", PlanWord(t.what));
        j.EndObject();
      }
      j.EndArray();
      j.Key("refused");
      p.refused.empty() ? j.Null() : j.String(p.refused);
      j.EndObject();
    }
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
  return j.Text() + kNl;
}

}  // namespace kdht::info
