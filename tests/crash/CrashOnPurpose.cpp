// A test program, never shipped: installs the updater's crash handler as kDHT.exe does, takes the
// updater's single-instance lock, and crashes in the way its first argument names.
//
//   kCrashOnPurpose <access|stack|terminate|abort> <run log>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "platform/CrashHandler.h"
#include "platform/Shell.h"

namespace {

volatile std::uintptr_t g_nowhere = 0;
volatile int g_depth_limit = 0x7FFFFFFF;

int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  if (depth == g_depth_limit) return frame[0];
  return Recurse(depth + 1) + frame[0];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  kdht::platform::InstallCrashHandler({"kDHT", false});
  kdht::platform::SetCrashLog(argv[2]);
  kdht::platform::SingleInstance instance("Global\\kDHT.Run.KDHT");
  if (!instance.acquired()) return 3;
  const std::string kind = argv[1];
  if (kind == "access") *reinterpret_cast<volatile int*>(g_nowhere) = 1;
  if (kind == "stack") return Recurse(0);
  if (kind == "terminate") std::terminate();
  if (kind == "abort") std::abort();
  return 4;
}
