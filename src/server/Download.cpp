#include "server/Download.h"

#include <optional>
#include <vector>

#include "core/Log.h"
#include "core/RegIni.h"
#include "core/RunState.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/FileSystem.h"
#include "platform/Http.h"
#include "platform/Shell.h"
#include "platform/Text.h"

namespace kdht {
namespace {

constexpr const char* kProxySection = "ProxySettings";
// Creation of the job-download component: the first try, then tries after registration.
constexpr int kJobDownloadCreateTries = 3;
constexpr unsigned kJobDownloadRetryWaitMs = 1000;

bool IsRegistrationFailure(const Failure& f) {
  return f.number() == kErrCannotCreateObject || f.number() == kErrLibraryNotRegistered;
}

platform::Dispatch CreateJobDownload(RunState& rs) {
  UseCom(rs);
  for (int attempt = 1;; ++attempt) {
    try {
      return platform::Dispatch::Create("kDwnJob.JobDownload");
    } catch (const Failure& f) {
      if (!IsRegistrationFailure(f) || attempt >= kJobDownloadCreateTries) throw;
      RegisterDLLJobDwn(rs);
      // regsvr32 runs beside us; give it a moment before the next try.
      platform::SleepMs(kJobDownloadRetryWaitMs);
    }
  }
}

}  // namespace

std::string WithDetail(const std::string& line, const std::string& detail) {
  return detail.empty() ? line : line + " (" + detail + ")";
}

std::string ProxyServerText(const std::string& host, const std::string& port) {
  return port.empty() ? host : host + ":" + port;
}

bool DownloadFileContent(RunState& rs, std::string& url, std::string& destination) {
  try {
    url = text::Trim(url);
    destination = text::Trim(destination);

    if (XmlDownload(rs, url, destination)) {
      if (rs.FileSys.FileExists(destination)) {
        WriteLog(rs, "MSG : Successfully downloaded to " + destination);
        return true;
      }
      WriteLog(rs, "ERR : Failed to download to " + destination);
      WriteLog(rs, "MSG : File not found : " + destination);
    }

    WriteLog(rs, "MSG : Downloading Using API from URL : " + url);
    const platform::UrlDownloadOutcome system = platform::UrlDownloadToFile(url, destination);
    if (system.result == 0 && rs.FileSys.FileExists(destination)) {
      WriteLog(rs, "MSG : Successfully downloaded to " + destination);
      return true;
    }
    // The code is not logged; a refused certificate's reason is.
    WriteLog(rs, WithDetail("ERR : Failed to download to " + destination, system.detail));

    if (!JobDownload(rs, url, destination)) return false;
    if (rs.FileSys.FileExists(destination)) {
      WriteLog(rs, "MSG : Successfully downloaded to " + destination);
      return true;
    }
    WriteLog(rs, "ERR : Failed to download to " + destination);
    WriteLog(rs, "MSG : File not found : " + destination);
    return false;
  } catch (...) {
    LogTrap(rs, "DownloadFileContent", "modAppInstall");
    return false;
  }
}

bool XmlDownload(RunState& rs, std::string& url, std::string& destination) {
  // Step numbers stand in for the line numbers of the trap line.
  int line = 10;
  try {
    WriteLog(rs, "MSG : Downloading using xmlhttp : " + url + " to " + destination);
    const std::string ini = rs.InstallPath + "VORNMobile.ini";
    std::optional<platform::HttpProxy> proxy;
    line = 20;
    if (rs.FileSys.FileExists(ini)) {
      WriteLog(rs, "MSG : Reading ProxySettings from " + ini);
      const std::string host = GetKeyValue(rs, kProxySection, "ProxyIP", ini, false);
      const std::string port = GetKeyValue(rs, kProxySection, "ProxyPort", ini, false);
      std::string user = GetKeyValue(rs, kProxySection, "ProxyUsername", ini, false);
      std::string password = GetKeyValue(rs, kProxySection, "ProxyPassword", ini, false);
      if (!password.empty()) password = DecryptString(rs, password);
      if (!user.empty()) user = DecryptString(rs, user);
      WriteLog(rs, "MSG : ProxyIP=" + host);
      WriteLog(rs, "MSG : ProxyPort=" + port);
      WriteLog(rs, "MSG : ProxyUserName=" + user);
      if (!host.empty()) proxy = platform::HttpProxy{ProxyServerText(host, port), user, password};
    } else {
      WriteLog(rs, "MSG : File not found : " + ini);
    }

    line = 30;
    const platform::HttpReply reply = platform::HttpGet(url, proxy);
    platform::PumpMessagesOnce();
    line = 40;
    if (reply.status != 200) {
      WriteLog(rs, "MSG : Download Failed   ");
      return false;
    }
    line = 50;
    platform::WriteFileBytes(destination, reply.body);
    platform::PumpMessagesOnce();
    line = 60;
    if (rs.FileSys.FileExists(destination)) {
      WriteLog(rs, "MSG : Downloaded Successsfully");
      return true;
    }
    WriteLog(rs, "MSG : Download  Failed");
    return false;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, WithDetail("ERR : " + std::to_string(f.number()) + " (" + f.description() + ") line " +
                                std::to_string(line) + " in procedure XmlDownload of Module ModFunctions",
                            f.detail()));
    return false;
  }
}

bool JobDownload(RunState& rs, std::string& url, std::string& destination) {
  try {
    platform::Dispatch job = CreateJobDownload(rs);
    WriteLog(rs, "MSG : Downloading using JobDownload component");
    WriteLog(rs, "MSG : Downloading : " + url + " to " + destination);
    std::vector<platform::DispatchArg> args = {
        {url, true},          {std::string(), false}, {std::string(), false}, {destination, true},
        {std::string(), true}, {std::string(), true},  {std::string(), true},
    };
    const bool ok = platform::DispatchValueTrue(job.Call("JobDownload", args));
    if (ok) {
      WriteLog(rs, "MSG : Successfully Downloaded : " + url);
      return true;
    }
    WriteLog(rs, "ERR : Failed to download : " + url + ". ErrDesc : " + platform::DispatchValueText(args[4].value) +
                     " " + platform::DispatchValueText(args[5].value) + " " +
                     platform::DispatchValueText(args[6].value));
    return false;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : JobDownload. " + std::to_string(f.number()) + ":" + f.description());
    return false;
  }
}

std::string DecryptString(RunState& rs, const std::string& encoded) {
  try {
    if (encoded.empty()) return {};
    const ProxyCodes codes = DecodeProxyCodes(encoded);
    if (codes.failure == 13) throw Failure(13, "Type mismatch");
    if (codes.failure != 0) throw Failure(5, "Invalid procedure call or argument");
    // The codes are of the system code page.
    return platform::AnsiToUtf8(codes.ansi);
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : DecryptString " + std::to_string(f.number()) + " " + f.description());
    return {};
  }
}

void RegisterDLLJobDwn(RunState& rs) {
  if (rs.JobDownloadRegistered) return;
  try {
    const std::string dll = rs.InstallPath + "kDwnJob.dll";
    const std::string regsvr32 = platform::SystemFolder() + "\\regsvr32.exe";
    platform::StartProcess(regsvr32, "\"" + regsvr32 + "\" -s \"" + dll + "\"", platform::ShowWindow::Hidden);
    WriteLog(rs, "MSG : Registered Dll : " + dll);
    rs.JobDownloadRegistered = true;
  } catch (...) {
    const Failure f = CurrentFailure();
    WriteLog(rs, "ERR : Function RegisterDLLJobDwn :: " + std::to_string(f.number()) + "-" + f.description());
  }
}

}  // namespace kdht
