#include "launcher/launcher.h"

namespace tessaryndle::launcher {

int run_launcher() { return 1; }

}  // namespace tessaryndle::launcher
