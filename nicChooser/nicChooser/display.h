#pragma once
// Whether a window can reach a person. Unattended runs on servers have no
// display at all; they must neither abort for the lack of one nor wait for
// an answer that nobody can give.

/// Prepares the toolkit's choice of window system before the application object exists: where a person may be present,
/// the usual one; otherwise (or, when unattended, should the usual one fail) windows go offscreen. Returns whether a
/// person may be present. Until displayStarted(), a toolkit that can start none of its platforms (a command line's
/// -platform, plug-ins that will not load) does not abort: it ends the run with one "nicChooser: " line on stderr and
/// exit status 5 (exitNoDisplay).
bool prepareDisplay(bool unattended);

/// The application object exists: the toolkit's fatal errors are its own again.
void displayStarted();

/// Once the application object exists: whether its windows reach a person (false when prepareDisplay fell back to
/// offscreen). True in a program that never called prepareDisplay.
bool personPresent();
