#include "console.h"

// The system shows no box of its own here for a failing device.
void failCriticalErrorsQuietly() {}

// A program's standard streams here are always those it was started with.
void joinStartingConsole() {}
