// Fetching one file by URL: HTTP GET (agent proxy settings), the system's download, then the
// agent's job-download component.
#pragma once

#include <string>

namespace kdht {

struct RunState;

bool DownloadFileContent(RunState& rs, std::string& url, std::string& destination);
bool XmlDownload(RunState& rs, std::string& url, std::string& destination);
bool JobDownload(RunState& rs, std::string& url, std::string& destination);
std::string DecryptString(RunState& rs, const std::string& encoded);

// The proxy settings' user name and password are stored as the decimal codes of their ANSI bytes
// joined by "H" ("97H98H99"). The bytes, or the number of the failure that refuses the text:
// 13 for a piece that is not a code (empty, not digits, longer than 9), 5 for a code past 255.
struct ProxyCodes {
  std::string ansi;
  int failure = 0;
};
ProxyCodes DecodeProxyCodes(const std::string& encoded);
void RegisterDLLJobDwn(RunState& rs);

// A failure line with the system's reason appended in brackets, e.g. why a server's certificate
// was refused: "<line> (certificate: untrusted root)"; the line alone when there is none.
std::string WithDetail(const std::string& line, const std::string& detail);

// The named proxy of the agent's settings: "host:port", or the host alone without a port.
std::string ProxyServerText(const std::string& host, const std::string& port);

}  // namespace kdht
