#pragma once
// What a program or library file says about itself in its headers: the
// machine it is for, its word size and the libraries it needs. Read from the
// bytes alone, ELF and PE alike on either system, so that a plug-in this
// program could not load is told apart before the toolkit tries (and, on
// Windows, shows a box nobody may be there to close).

#include "outcome.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

struct binaryImage {
    enum format { none, elf, pe };
    format kind = none;
    int machine = 0;     ///< ELF e_machine, or PE Machine
    int bits = 0;        ///< 32 or 64: ELF's class, PE's optional header; 0 when unknown
    QStringList needed;  ///< ELF DT_NEEDED names, or the DLLs the PE import table names, in file order
    bool neededRead = false; ///< whether the list of needed libraries could be read in full
};

/// The headers of an ELF or PE file in bytes (as much of the file as is at hand: the needed libraries need all of it);
/// kind none when bytes are neither.
binaryImage readBinaryImage(const QByteArray& bytes);

/// The machine in words, as "32-bit x86" or "64-bit ARM64".
QString machineText(const binaryImage& image);

/// Whether a library whose headers are library can be loaded by the program whose headers are program: done, or
/// unsupported saying which machine each is for.
outcome sameMachine(const binaryImage& library, const binaryImage& program);

/// Whether name (a needed library) is one of the toolkit's (Qt5Core.dll, libQt5Gui.so.5, Qt6Core.dll ...).
bool toolkitLibrary(const QString& name);

/// Whether each of the toolkit's libraries in needed is one this program's toolkit has (found tells for a name):
/// done, or unsupported naming the first it has not.
outcome toolkitLibrariesFound(const QStringList& needed, const std::function<bool(const QString&)>& found);

/// Whether a platform plug-in whose metadata says it was built with the toolkit version built (0xMMNNPP) can work with
/// the toolkit version running: platform plug-ins use the toolkit's private interface, which only the same major and
/// minor version keeps, and never one built with a newer toolkit. Done, or unsupported saying both.
outcome sameToolkitSeries(int built, int running);
