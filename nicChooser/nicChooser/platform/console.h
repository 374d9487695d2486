#pragma once
// Where a started program's output goes when the operator typed its name.

/// First thing in main: where the executable gets no standard output or error of its own although whoever started it
/// has a console (a Windows GUI program started from cmd or PowerShell), the program joins that console and writes
/// there, so that --help, --version, /list and every "nicChooser: " line reach the operator. A standard handle that
/// already leads somewhere (a file, a pipe) keeps leading there. Elsewhere nothing.
void joinStartingConsole();
