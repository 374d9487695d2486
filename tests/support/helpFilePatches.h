#pragma once
// Patching a built help file in place, for rows about damaged help files.

#include <QByteArray>

#include <QtGlobal>

namespace helpFilePatches {

// Patching a built help file: little-endian numbers at fixed places, and the
// directory's entries (name, then section, offset and length as numbers of
// 7 bits a byte, most significant first).
inline quint64 numberAt(const QByteArray& file, int at, int bytes)
{
    quint64 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | uchar(file[at + i]);
    return value;
}

inline void setNumberAt(QByteArray& file, int at, int bytes, quint64 value)
{
    for (int i = 0; i < bytes; ++i)
        file[at + i] = char(value >> (8 * i));
}

inline QByteArray encoded(quint64 value)
{
    QByteArray bytes(1, char(value & 0x7F));
    while (value >>= 7)
        bytes.prepend(char(0x80 | (value & 0x7F)));
    return bytes;
}

struct helpEntry {
    int start = -1, end = -1; // where the entry lies in the file
    quint64 field[3] = {};    // section, offset, length
};

inline helpEntry findEntry(const QByteArray& file, const QByteArray& name)
{
    helpEntry e;
    // Every object here is in section 0 or 1.
    e.start = file.indexOf(encoded(quint64(name.size())) + name + char(0));
    if (e.start < 0)
        e.start = file.indexOf(encoded(quint64(name.size())) + name + char(1));
    if (e.start < 0)
        return e;
    e.end = e.start + encoded(quint64(name.size())).size() + name.size();
    for (quint64& value : e.field) {
        value = 0;
        do
            value = value << 7 | (uchar(file[e.end]) & 0x7F);
        while (uchar(file[e.end++]) & 0x80);
    }
    return e;
}

// Where a stored (section 0) object's bytes begin.
inline int objectAt(const QByteArray& file, const QByteArray& name)
{
    return int(numberAt(file, 0x58, 8) + findEntry(file, name).field[1]);
}

// file with one field of name's entry changed; a longer entry takes its
// room from the free space at the end of the entries in its chunk.
inline QByteArray withEntry(QByteArray file, const QByteArray& name, int field, quint64 value)
{
    const helpEntry e = findEntry(file, name);
    QByteArray entry = encoded(quint64(name.size())) + name;
    for (int i = 0; i < 3; ++i)
        entry += encoded(i == field ? value : e.field[i]);
    const int directory = int(numberAt(file, 0x48, 8));
    const int chunk = directory + int(numberAt(file, directory + 8, 4));
    const int chunkEnd = chunk + int(numberAt(file, directory + 0x10, 4));
    const int freeSpace = int(numberAt(file, chunk + 4, 4));
    const int growth = entry.size() - (e.end - e.start);
    file.replace(e.start, e.end - e.start, entry);
    file.remove(chunkEnd - freeSpace + growth, growth);
    setNumberAt(file, chunk + 4, 4, quint64(freeSpace - growth));
    return file;
}

} // namespace helpFilePatches

using namespace helpFilePatches;
