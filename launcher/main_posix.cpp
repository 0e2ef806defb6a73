#include "launcher/launcher.h"

int main() { return tessaryndle::launcher::run_launcher(); }
