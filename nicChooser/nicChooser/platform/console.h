#pragma once
// What a started program settles before anything else: that no box of the
// system's waits for a person, and where its output goes when the operator
// typed its name.

/// First thing in main, before any file or drive is touched: on Windows the process's error mode gains
/// SEM_FAILCRITICALERRORS (the bits it was started with kept), so that a drive without a disk or a failing device
/// fails the call that met it instead of showing a box that an unattended run would wait on. Elsewhere nothing.
void failCriticalErrorsQuietly();

/// First thing in main: where the executable gets no standard output or error of its own although whoever started it
/// has a console (a Windows GUI program started from cmd or PowerShell), the program joins that console and writes
/// there, so that --help, --version, /list and every "nicChooser: " line reach the operator. A standard handle that
/// already leads somewhere (a file, a pipe) keeps leading there. Elsewhere nothing.
void joinStartingConsole();
