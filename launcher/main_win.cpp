#include <windows.h>

#include "launcher/launcher.h"

// A GUI-subsystem program without any window: it starts a build and exits.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return tessaryndle::launcher::run_launcher(); }
