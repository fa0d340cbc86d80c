#include "platform/Clock.h"

#include <windows.h>

namespace kdht::platform {

LocalTime Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

void SleepMs(unsigned milliseconds) { ::Sleep(milliseconds); }

}  // namespace kdht::platform
