// Process entry. The program is built for the windows subsystem: it has no console and no
// window; everything it has to say goes to its run log. The process ends here and nowhere else.
#include "driver/Main.h"

int main() { return kdht::Run(); }
