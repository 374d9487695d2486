#include "console.h"

// A program's standard streams here are always those it was started with.
void joinStartingConsole() {}
