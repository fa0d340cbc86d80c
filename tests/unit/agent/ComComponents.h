// The COM stand-ins under test and the identities the program and its installers rely on.
#pragma once

namespace agent_test {

struct ComComponent {
  const char* dll;
  const wchar_t* progId;
  const wchar_t* clsid;
};

inline constexpr ComComponent kComComponents[] = {
    {"kPopup.dll", L"kPopup.Display", L"{7AB13495-87AD-40BC-A96D-8C7D005B860C}"},
    {"kDwnJob.dll", L"kDwnJob.JobDownload", L"{B3CE5FC5-7227-4401-A157-FEEA394417C0}"},
};

}  // namespace agent_test
