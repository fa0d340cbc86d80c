// Process entry. The program is built for the windows subsystem: it has no console and no
// window; everything it has to say goes to its run log. The process ends here and nowhere else.
#include "driver/Main.h"
#include "platform/CrashHandler.h"

int main() {
  // First of all: a crash anywhere in the run leaves its line and its dump.
  kdht::platform::InstallCrashHandler({"kDHT", false});
  return kdht::Run();
}
