#include "binaryImage.h"

#include <QRegularExpression>

namespace {

// Bounds-checked reads: the bytes are a file anybody may have made.
struct reader {
    const QByteArray& bytes;
    bool little = true;

    bool has(qint64 offset, qint64 size) const
    {
        return offset >= 0 && size >= 0 && offset <= bytes.size() && size <= bytes.size() - offset;
    }
    quint64 get(qint64 offset, int size) const
    {
        if (!has(offset, size))
            return 0;
        quint64 v = 0;
        for (int i = 0; i < size; ++i) {
            const quint64 byte = quint8(bytes.at(int(offset + (little ? size - 1 - i : i))));
            v = (v << 8) | byte;
        }
        return v;
    }
    // A NUL-ended name at offset; empty when it does not end within limit.
    QString name(qint64 offset, qint64 limit) const
    {
        if (offset < 0 || offset >= limit || limit > bytes.size())
            return QString();
        const int end = bytes.indexOf('\0', int(offset));
        if (end < 0 || end >= limit)
            return QString();
        return QString::fromLatin1(bytes.constData() + offset, int(end - offset));
    }
};

const char elfMagic[] = "\x7f" "ELF";

// ELF: the machine from the identification and header, the needed names
// from the dynamic segment, as the loader reads them (the section table may
// be stripped).
binaryImage readElf(const QByteArray& bytes)
{
    binaryImage image;
    image.kind = binaryImage::elf;
    const char elfClass = bytes.size() > 4 ? bytes.at(4) : 0;
    image.bits = elfClass == 1 ? 32 : elfClass == 2 ? 64 : 0;
    reader r{bytes, !(bytes.size() > 5 && bytes.at(5) == 2)};
    image.machine = int(r.get(18, 2)); // the same place in both classes
    if (image.bits == 0)
        return image;
    const bool wide = image.bits == 64;
    const qint64 phoff = qint64(r.get(wide ? 32 : 28, wide ? 8 : 4));
    const int phentsize = int(r.get(wide ? 54 : 42, 2));
    const int phnum = int(r.get(wide ? 56 : 44, 2));
    if (phentsize < (wide ? 56 : 32))
        return image;
    struct segment {
        quint64 type, offset, vaddr, filesz;
    };
    QList<segment> loads;
    segment dynamic{0, 0, 0, 0};
    for (int i = 0; i < phnum; ++i) {
        const qint64 at = phoff + qint64(i) * phentsize;
        if (!r.has(at, phentsize))
            return image;
        const segment s = wide ? segment{r.get(at, 4), r.get(at + 8, 8), r.get(at + 16, 8), r.get(at + 32, 8)}
                               : segment{r.get(at, 4), r.get(at + 4, 4), r.get(at + 8, 4), r.get(at + 16, 4)};
        if (s.type == 1) // PT_LOAD
            loads << s;
        else if (s.type == 2) // PT_DYNAMIC
            dynamic = s;
    }
    if (dynamic.type == 0) {
        image.neededRead = true; // nothing needed: a static file
        return image;
    }
    const auto fileOffset = [&](quint64 address) -> qint64 {
        for (const segment& s : loads)
            if (address >= s.vaddr && address - s.vaddr < s.filesz)
                return qint64(s.offset + (address - s.vaddr));
        return -1;
    };
    const int entry = wide ? 16 : 8;
    QList<quint64> neededOffsets;
    quint64 strtab = 0, strsz = 0;
    bool ended = false;
    for (quint64 at = 0; at + entry <= dynamic.filesz; at += entry) {
        const qint64 where = qint64(dynamic.offset + at);
        if (!r.has(where, entry))
            return image;
        const quint64 tag = r.get(where, entry / 2), value = r.get(where + entry / 2, entry / 2);
        if (tag == 0) { // DT_NULL
            ended = true;
            break;
        }
        if (tag == 1) // DT_NEEDED
            neededOffsets << value;
        else if (tag == 5) // DT_STRTAB
            strtab = value;
        else if (tag == 10) // DT_STRSZ
            strsz = value;
    }
    const qint64 table = fileOffset(strtab);
    if (!ended || (!neededOffsets.isEmpty() && (table < 0 || !r.has(table, qint64(strsz)))))
        return image;
    for (quint64 offset : neededOffsets) {
        const QString name = offset < strsz ? r.name(table + qint64(offset), table + qint64(strsz)) : QString();
        if (name.isEmpty())
            return image;
        image.needed << name;
    }
    image.neededRead = true;
    return image;
}

// PE: the machine from the file header, the word size from the optional
// header's magic, the needed DLLs from the import directory (delay-loaded
// ones are needed only when called, and are not counted).
binaryImage readPe(const QByteArray& bytes)
{
    binaryImage image;
    const reader r{bytes, true};
    const qint64 pe = qint64(r.get(0x3c, 4));
    if (r.get(pe, 4) != 0x4550) // "PE\0\0"
        return image;
    image.kind = binaryImage::pe;
    image.machine = int(r.get(pe + 4, 2));
    const int sections = int(r.get(pe + 6, 2));
    const int optionalSize = int(r.get(pe + 20, 2));
    const qint64 optional = pe + 24;
    const quint64 magic = r.get(optional, 2);
    image.bits = magic == 0x10b ? 32 : magic == 0x20b ? 64 : 0;
    if (image.bits == 0)
        return image;
    const qint64 directories = optional + (image.bits == 64 ? 112 : 96);
    const quint64 directoryCount = r.get(directories - 4, 4);
    if (directoryCount < 2 || directories + 16 > optional + optionalSize) {
        image.neededRead = directoryCount < 2; // no import directory: nothing needed
        return image;
    }
    const quint64 imports = r.get(directories + 8, 4); // directory 1
    if (imports == 0) {
        image.neededRead = true;
        return image;
    }
    const qint64 table = optional + optionalSize;
    const auto fileOffset = [&](quint64 rva) -> qint64 {
        for (int i = 0; i < sections; ++i) {
            const qint64 s = table + qint64(i) * 40;
            if (!r.has(s, 40))
                return -1;
            const quint64 address = r.get(s + 12, 4);
            const quint64 size = qMax(r.get(s + 8, 4), r.get(s + 16, 4));
            if (rva >= address && rva - address < size)
                return qint64(r.get(s + 20, 4) + (rva - address));
        }
        return -1;
    };
    qint64 descriptor = fileOffset(imports);
    for (;; descriptor += 20) {
        if (descriptor < 0 || !r.has(descriptor, 20))
            return image;
        if (r.get(descriptor, 4) == 0 && r.get(descriptor + 12, 4) == 0 && r.get(descriptor + 16, 4) == 0)
            break;
        const QString name = r.name(fileOffset(r.get(descriptor + 12, 4)), bytes.size());
        if (name.isEmpty())
            return image;
        image.needed << name;
    }
    image.neededRead = true;
    return image;
}

} // namespace

binaryImage readBinaryImage(const QByteArray& bytes)
{
    if (bytes.startsWith(elfMagic))
        return readElf(bytes);
    if (bytes.startsWith("MZ"))
        return readPe(bytes);
    return binaryImage();
}

QString machineText(const binaryImage& image)
{
    struct known {
        binaryImage::format kind;
        int machine;
        const char* name;
        int bits; // 0: as the file's class says
    };
    static const known names[] = {
        {binaryImage::elf, 3, "x86", 0},       {binaryImage::elf, 62, "x86-64", 0},
        {binaryImage::elf, 40, "ARM", 0},      {binaryImage::elf, 183, "ARM64", 0},
        {binaryImage::elf, 8, "MIPS", 0},      {binaryImage::elf, 20, "PowerPC", 0},
        {binaryImage::elf, 21, "PowerPC64", 0}, {binaryImage::elf, 22, "S/390", 0},
        {binaryImage::elf, 243, "RISC-V", 0},  {binaryImage::pe, 0x14c, "x86", 32},
        {binaryImage::pe, 0x8664, "x86-64", 64}, {binaryImage::pe, 0x1c4, "ARM", 32},
        {binaryImage::pe, 0xaa64, "ARM64", 64},
    };
    if (image.kind == binaryImage::none)
        return QStringLiteral("no machine (neither an ELF nor a PE file)");
    QString name = QStringLiteral("machine %1").arg(image.machine);
    int bits = image.bits;
    for (const known& k : names) {
        if (k.kind == image.kind && k.machine == image.machine) {
            name = QLatin1String(k.name);
            bits = k.bits ? k.bits : bits;
        }
    }
    return bits ? QStringLiteral("%1-bit %2").arg(bits).arg(name) : name;
}

outcome sameMachine(const binaryImage& library, const binaryImage& program)
{
    if (library.kind == program.kind && library.machine == program.machine && library.bits == program.bits)
        return outcome::done;
    return {outcome::unsupported,
            QStringLiteral("is for %1; this program is %2").arg(machineText(library), machineText(program))};
}

bool toolkitLibrary(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^(lib)?Qt[0-9]"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern.match(name).hasMatch();
}

outcome toolkitLibrariesFound(const QStringList& needed, const std::function<bool(const QString&)>& found)
{
    for (const QString& name : needed)
        if (toolkitLibrary(name) && !found(name))
            return {outcome::unsupported,
                    QStringLiteral("needs the toolkit library %1, which this program's toolkit does not have")
                        .arg(name)};
    return outcome::done;
}

outcome sameToolkitSeries(int built, int running)
{
    if ((built >> 8) == (running >> 8) && built <= running)
        return outcome::done;
    // A plug-in's metadata holds the major and minor version only.
    return {outcome::unsupported,
            QStringLiteral("was built with toolkit %1.%2; this program runs on %3.%4.%5, and a platform plug-in "
                           "reaches into the toolkit's private interface")
                .arg(built >> 16)
                .arg((built >> 8) & 0xff)
                .arg(running >> 16)
                .arg((running >> 8) & 0xff)
                .arg(running & 0xff)};
}
