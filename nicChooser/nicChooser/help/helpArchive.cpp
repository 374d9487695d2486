#include "helpArchive.h"
#include "debugLog.h"

#include "lzxDecode.h"

#include <QFile>

namespace {

// Fixed sizes and places in the file format.
constexpr int fileHeaderV2 = 0x58;
constexpr int fileHeaderV3 = 0x60;
constexpr int directoryHeader = 0x54;
constexpr int listingHeader = 0x14;
constexpr int minChunkSize = 0x200; // compilers write 0x1000
constexpr int maxChunkSize = 0x10000;
constexpr int maxNameLength = 1024;
constexpr int maxEntries = 1 << 16; // ours has about 20
constexpr int lzxFrame = 0x8000;

const char resetTableName[] =
    "::DataSpace/Storage/MSCompressed/Transform/{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable";
const char controlDataName[] = "::DataSpace/Storage/MSCompressed/ControlData";
const char contentName[] = "::DataSpace/Storage/MSCompressed/Content";

quint64 little(const char* p, int bytes)
{
    quint64 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | uchar(p[i]);
    return value;
}
quint32 u16(const char* p)
{
    return quint32(little(p, 2));
}
quint32 u32(const char* p)
{
    return quint32(little(p, 4));
}
quint64 u64(const char* p)
{
    return little(p, 8);
}

// Whether [offset, offset + length) lies within size bytes, without overflow.
bool within(quint64 offset, quint64 length, quint64 size)
{
    return offset <= size && length <= size - offset;
}

// A variable-length number: 7 bits a byte, most significant first, the top
// bit set on all but the last byte; at most 9 bytes (63 bits).
bool encodedNumber(const char*& p, const char* end, quint64& value)
{
    value = 0;
    for (int i = 0; i < 9 && p < end; ++i) {
        const uchar byte = uchar(*p++);
        value = value << 7 | (byte & 0x7F);
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

} // namespace

helpArchive::helpArchive(QByteArray data) : file(std::move(data))
{
    open = parse();
}

helpArchive helpArchive::fromFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        ncDebug() << "Help file" << path << "can't be read:" << f.errorString();
        return helpArchive();
    }
    // Read one byte more than allowed, so that a size the file system does
    // not report (a pipe, a special file) is caught too.
    const QByteArray data = f.read(qint64(maxBytes) + 1);
    if (data.size() > maxBytes) {
        ncDebug() << "Help file" << path << "is larger than" << maxBytes << "bytes";
        return helpArchive();
    }
    return helpArchive(data);
}

bool helpArchive::parse()
{
    const quint64 size = quint64(file.size());
    const char* p = file.constData();
    if (size < quint64(fileHeaderV2) || file.left(4) != "ITSF") {
        ncDebug() << "Help file: no help file header";
        return false;
    }
    const quint32 version = u32(p + 4);
    const quint32 headerLength = u32(p + 8);
    const quint32 minHeader = version == 3 ? fileHeaderV3 : fileHeaderV2;
    if ((version != 2 && version != 3) || headerLength < minHeader || headerLength > size) {
        ncDebug() << "Help file: header version" << version << "of" << headerLength << "bytes is not understood";
        return false;
    }
    const quint64 directoryOffset = u64(p + 0x48);
    const quint64 directoryLength = u64(p + 0x50);
    if (!within(directoryOffset, directoryLength, size) || directoryLength < quint64(directoryHeader)) {
        ncDebug() << "Help file: the directory" << directoryOffset << "+" << directoryLength
                  << "lies outside the file of" << size << "bytes";
        return false;
    }
    contentOffset = version == 3 ? u64(p + 0x58) : directoryOffset + directoryLength;
    if (contentOffset > size) {
        ncDebug() << "Help file: the content starts at" << contentOffset << "past the end of the file";
        return false;
    }

    const char* directory = p + directoryOffset;
    const quint32 itspLength = u32(directory + 8);
    const quint32 chunkSize = u32(directory + 0x10);
    const quint32 chunkCount = u32(directory + 0x2C);
    if (QByteArray(directory, 4) != "ITSP" || u32(directory + 4) != 1 || itspLength < quint32(directoryHeader)
        || itspLength > directoryLength) {
        ncDebug() << "Help file: the directory header is not understood";
        return false;
    }
    if (chunkSize < quint32(minChunkSize) || chunkSize > quint32(maxChunkSize)
        || chunkCount > (directoryLength - itspLength) / chunkSize) {
        ncDebug() << "Help file:" << chunkCount << "directory chunks of" << chunkSize
                  << "bytes don't fit the directory of" << directoryLength << "bytes";
        return false;
    }
    // Every listing chunk in file order rather than by their links, which a
    // damaged file could make circular.
    for (quint32 i = 0; i < chunkCount && entries.size() < std::size_t(maxEntries); ++i) {
        const char* chunk = directory + itspLength + quint64(i) * chunkSize;
        if (QByteArray(chunk, 4) == "PMGL")
            parseListingChunk(chunk, int(chunkSize));
    }
    return true;
}

void helpArchive::parseListingChunk(const char* chunk, int chunkSize)
{
    const quint32 freeSpace = u32(chunk + 4);
    if (freeSpace > quint32(chunkSize - listingHeader)) {
        ncDebug() << "Help file: a directory chunk claims" << freeSpace << "free bytes of" << chunkSize;
        return;
    }
    const char* p = chunk + listingHeader;
    const char* end = chunk + chunkSize - freeSpace;
    while (p < end) {
        if (entries.size() >= std::size_t(maxEntries)) {
            ncDebug() << "Help file: more than" << maxEntries << "directory entries; the rest are ignored";
            return;
        }
        quint64 nameLength = 0;
        entry e;
        if (!encodedNumber(p, end, nameLength) || nameLength == 0 || nameLength > quint64(maxNameLength)
            || nameLength > quint64(end - p)) {
            ncDebug() << "Help file: a directory entry's name runs past its chunk";
            return;
        }
        e.name = QByteArray(p, int(nameLength));
        p += nameLength;
        if (!encodedNumber(p, end, e.section) || !encodedNumber(p, end, e.offset) || !encodedNumber(p, end, e.length)) {
            ncDebug() << "Help file: the directory entry" << e.name << "runs past its chunk";
            return;
        }
        const QByteArray key = e.name.toLower();
        if (!byName.contains(key)) {
            byName.insert(key, int(entries.size()));
            entries.push_back(std::move(e));
        }
    }
}

QStringList helpArchive::names() const
{
    QStringList list;
    for (const entry& e : entries)
        list << QString::fromUtf8(e.name);
    return list;
}

const helpArchive::entry* helpArchive::find(const QByteArray& name) const
{
    const auto it = byName.constFind(name.toLower());
    return it == byName.constEnd() ? nullptr : &entries[std::size_t(*it)];
}

helpArchive::span helpArchive::locate(const entry& e) const
{
    if (e.length > quint64(maxBytes)) {
        ncDebug() << "Help file: the object" << e.name << "claims" << e.length << "bytes";
        return {};
    }
    if (e.section == 0) {
        const quint64 room = quint64(file.size()) - contentOffset;
        if (!within(e.offset, e.length, room)) {
            ncDebug() << "Help file: the object" << e.name << "at" << e.offset << "+" << e.length
                      << "runs past the end of the file";
            return {};
        }
        return {file.constData() + contentOffset + e.offset, int(e.length)};
    }
    if (e.section == 1) {
        unpackCompressedSection();
        if (!within(e.offset, e.length, quint64(compressed.size()))) {
            ncDebug() << "Help file: the object" << e.name << "at" << e.offset << "+" << e.length << "lies outside the"
                      << compressed.size() << "bytes of compressed content that could be read";
            return {};
        }
        return {compressed.constData() + e.offset, int(e.length)};
    }
    ncDebug() << "Help file: the object" << e.name << "is in unknown section" << e.section;
    return {};
}

helpArchive::span helpArchive::storedObject(const char* name) const
{
    const entry* e = find(QByteArray(name));
    if (!e || e->section != 0) {
        ncDebug() << "Help file: no stored" << name;
        return {};
    }
    return locate(*e);
}

void helpArchive::unpackCompressedSection() const
{
    if (unpacked)
        return;
    unpacked = true;
    const span control = storedObject(controlDataName);
    const span resets = storedObject(resetTableName);
    const span content = storedObject(contentName);
    if (!control.data || !resets.data || !content.data)
        return;

    if (control.size < 0x18 || QByteArray(control.data + 4, 4) != "LZXC") {
        ncDebug() << "Help file: the compression parameters are not understood";
        return;
    }
    const quint32 controlVersion = u32(control.data + 8);
    // Version 2 counts in 32 KiB units, version 1 in bytes.
    const quint64 unit = controlVersion == 2 ? lzxFrame : 1;
    const quint64 resetInterval = u32(control.data + 12) * unit;
    const quint64 windowSize = u32(control.data + 16) * unit;
    int windowBits = 15;
    while (windowBits < 21 && (quint64(1) << windowBits) != windowSize)
        ++windowBits;
    if ((controlVersion != 1 && controlVersion != 2) || (quint64(1) << windowBits) != windowSize || resetInterval == 0
        || resetInterval % lzxFrame != 0) {
        ncDebug() << "Help file: compression window" << windowSize << "and reset interval" << resetInterval
                  << "are not understood";
        return;
    }

    if (resets.size < 0x28 || u32(resets.data) != 2 || u64(resets.data + 0x20) != quint64(lzxFrame)) {
        ncDebug() << "Help file: the compression reset table is not understood";
        return;
    }
    const quint64 unpackedLength = u64(resets.data + 0x10);
    const quint64 packedLength = u64(resets.data + 0x18);
    if (unpackedLength > quint64(maxBytes) || packedLength > quint64(content.size)) {
        ncDebug() << "Help file: compressed content of" << packedLength << "bytes unpacking to" << unpackedLength
                  << "bytes is refused:" << content.size << "bytes are stored, at most" << maxBytes
                  << "may be unpacked";
        return;
    }
    // Beyond any file's frame count, the interval changes nothing.
    const int resetFrames = int(qMin<quint64>(resetInterval / lzxFrame, quint64(maxBytes / lzxFrame + 1)));
    compressed = lzx::decompress(QByteArray::fromRawData(content.data, int(packedLength)), windowBits, resetFrames,
                                 int(unpackedLength));
    if (quint64(compressed.size()) != unpackedLength)
        ncDebug() << "Help file: compressed content damaged; only" << compressed.size() << "of" << unpackedLength
                  << "bytes could be unpacked";
}

QByteArray helpArchive::read(const QString& name) const
{
    const entry* e = find(name.toUtf8());
    if (!e)
        return QByteArray();
    const span s = locate(*e);
    if (!s.data)
        return QByteArray();
    return QByteArray(s.data, s.size);
}

QString helpArchive::defaultTopic() const
{
    auto readable = [this](const QString& name) {
        const entry* e = find(name.toUtf8());
        return e && locate(*e).data;
    };
    // #SYSTEM: a version word, then records of code, length and data; code 2
    // names the default topic.
    const QByteArray system = read(QStringLiteral("/#SYSTEM"));
    for (int pos = 4; pos + 4 <= system.size();) {
        const quint32 code = u16(system.constData() + pos);
        const int length = int(u16(system.constData() + pos + 2));
        if (length > system.size() - pos - 4) {
            ncDebug() << "Help file: a #SYSTEM record of" << length << "bytes runs past its object";
            break;
        }
        if (code == 2) {
            QString topic = QString::fromUtf8(system.mid(pos + 4, length)).section(QChar(0), 0, 0);
            if (!topic.startsWith(QLatin1Char('/')))
                topic.prepend(QLatin1Char('/'));
            if (topic.size() > 1 && readable(topic))
                return topic;
            ncDebug() << "Help file: the default topic" << topic << "can't be read";
        }
        pos += 4 + length;
    }
    for (const entry& e : entries) {
        const QString name = QString::fromUtf8(e.name);
        // A name that is no valid UTF-8 can't be asked for again by its text.
        if (name.startsWith(QLatin1Char('/')) && !name.startsWith(QLatin1String("/#"))
            && !name.startsWith(QLatin1String("/$"))
            && (name.endsWith(QLatin1String(".htm"), Qt::CaseInsensitive)
                || name.endsWith(QLatin1String(".html"), Qt::CaseInsensitive))
            && find(name.toUtf8()) == &e && locate(e).data)
            return name;
    }
    return QString();
}
