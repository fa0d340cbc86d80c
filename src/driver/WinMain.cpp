// Process entry. The program is built for the windows subsystem: it has no console and no
// window; everything it has to say goes to its run log.
#include "core/RunState.h"
#include "driver/Main.h"
#include "platform/Dispatch.h"

int main() {
  kdht::platform::ComApartment com;
  kdht::RunState rs;
  return kdht::Main(rs);
}
