#pragma once
// A compiled HTML help file (.chm) held in memory: its directory of named
// objects, their contents (stored as they are, or LZX-compressed in one shared
// section) and its default topic. The file is untrusted input: every length,
// offset and count it states is checked against the bytes actually there and
// against fixed limits (maxBytes among them) before it is used, so a damaged
// or hostile file yields "not there" answers and a debug line, never a fault,
// an unbounded allocation or a hang. Objects that lie intact in a partly
// damaged file can still be read.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

class helpArchive
{
public:
    /// The largest help file read and the largest compressed section unpacked (ours is about 20 KiB); bounds memory and
    /// time for any file.
    static constexpr int maxBytes = 16 * 1024 * 1024;

    /// Parses data as a help file; isOpen() tells whether its headers and directory could be used.
    explicit helpArchive(QByteArray data);
    /// The help file at path, read whole; not open when it is missing, unreadable, larger than maxBytes or no help
    /// file.
    static helpArchive fromFile(const QString& path);

    /// Whether the headers and directory could be used.
    bool isOpen() const { return open; }
    /// The object names, in directory order.
    QStringList names() const;
    /// The bytes stored under name ("/index.html", ASCII case ignored); null when there is no such object or it cannot
    /// be read whole.
    QByteArray read(const QString& name) const;
    /// The page #SYSTEM names as default topic when it can be read, else the first readable .htm/.html page; empty when
    /// there is none.
    QString defaultTopic() const;

private:
    helpArchive() = default; // not open
    struct entry {
        QByteArray name;
        quint64 section;
        quint64 offset;
        quint64 length;
    };
    struct span {
        const char* data = nullptr;
        int size = 0;
    };

    bool parse();
    void parseListingChunk(const char* chunk, int chunkSize);
    const entry* find(const QByteArray& name) const;
    span locate(const entry& e) const;
    span storedObject(const char* name) const;
    void unpackCompressedSection() const;

    QByteArray file;
    bool open = false;
    quint64 contentOffset = 0;
    std::vector<entry> entries;
    QHash<QByteArray, int> byName; // lower-case name -> index in entries

    // The compressed section, unpacked when first needed; what could be
    // decoded of a damaged one.
    mutable bool unpacked = false;
    mutable QByteArray compressed;
};
