#pragma once
// Files as the tests make and read them: whole files as bytes, the
// repository's test data, and the inputs shared with the benchmark, grown to
// a size (a settings file, a real DDS configuration).

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The whole file; empty when it cannot be read.
QByteArray readBytes(const QString& path);

/// Writes data as the whole file; aborts the test program when it cannot.
void writeBytes(const QString& path, const QByteArray& data);

/// A file of tests/data (relative to it); aborts when it is missing.
QByteArray testData(const QString& relative);

/// The files (hidden ones included) in folder, sorted; for checking nothing was left beside a file.
QStringList filesIn(const QString& folder);

/// How the names begin of the temporary files a writer killed at the wrong moment leaves beside target
/// (".<name>.nicChooser-new."; an unpredictable part follows).
QString leftoverName(const QString& target);

/// The lock file that earlier versions kept beside target, which writers now ignore.
QString lockFileName(const QString& target);

/// A settings file of `lines` CRLF lines in sections of twenty keys, with section xDS (bindAddress=10.0.0.1,
/// Adaptor=eth0) half-way down.
QByteArray settingsFixture(int lines);

/// A real DDS configuration (adlink-demos-ishapes.xml) grown with filler elements inside its Domain to at least
/// `bytes`.
QByteArray configFixture(int bytes);

/// The file name of the toolkit's platform plug-in for platform on this system ("libqoffscreen.so", "qoffscreen.dll").
QString platformPluginName(const QString& platform);

/// Where the toolkit this program runs on keeps its platform plug-ins.
QString toolkitPlatformsFolder();

/// A built library (ELF or PE) patched to say it is for 32-bit x86: the ELF class and e_machine, or the PE Machine
/// field; nothing else changes, so that only that field tells it apart. Empty when it is neither.
QByteArray asForeignMachine(QByteArray library);

/// A built plug-in whose metadata says it was built with toolkit minor version minor. Empty when it has none.
QByteArray asBuiltWithMinor(QByteArray plugin, int minor);

/// A built library that needs the library named to where it needed from (a name of the same length). Empty when it
/// names no from.
QByteArray withNeededRenamed(QByteArray library, const QByteArray& from, const QByteArray& to);

/// The file name of the toolkit library module on this system ("libQt5Gui.so.5", "Qt5Gui.dll").
QString toolkitLibraryName(const QString& module);
