#include "testFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeBytes(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write test file %s", qPrintable(path));
    f.write(data);
}

QByteArray testData(const QString& relative)
{
    const QByteArray data = readBytes(QStringLiteral(NC_TEST_DATA "/") + relative);
    if (data.isEmpty())
        qFatal("missing test data %s", qPrintable(relative));
    return data;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// The product builds these names where it makes and removes the files; the
// tests spell them out on their own, so that a change there is noticed.
static QString besideWithSuffix(const QString& target, const char* suffix)
{
    const QFileInfo info(target);
    return info.path() + QLatin1String("/.") + info.fileName() + QLatin1String(suffix);
}

QString leftoverName(const QString& target)
{
    return besideWithSuffix(target, ".nicChooser-new.");
}

QString lockFileName(const QString& target)
{
    return besideWithSuffix(target, ".nicChooser-lock");
}

QByteArray settingsFixture(int lines)
{
    QByteArray text;
    int written = 0;
    bool ours = false; // the [xDS] section, halfway
    for (int s = 0; written < lines; ++s) {
        if (written >= lines / 2 && !ours) {
            text += "[xDS]\r\nbindAddress=10.0.0.1\r\nAdaptor=eth0\r\n";
            written += 3;
            ours = true;
        }
        text += "[Section" + QByteArray::number(s) + "]\r\n";
        ++written;
        for (int k = 0; k < 19 && written < lines; ++k, ++written)
            text += "Key" + QByteArray::number(k) + "=value " + QByteArray::number(s * 100 + k) + "\r\n";
    }
    return text;
}

QByteArray configFixture(int bytes)
{
    QByteArray xml = testData("ospl/adlink-demos-ishapes.xml");
    QByteArray filler;
    for (int i = 0; xml.size() + filler.size() < bytes; ++i)
        filler += "      <Filler n=\"" + QByteArray::number(i) + "\">text " + QByteArray::number(i) + "</Filler>\n";
    return xml.insert(xml.indexOf("</Domain>"), filler);
}

QString platformPluginName(const QString& platform)
{
#ifdef Q_OS_WIN
    return QStringLiteral("q%1.dll").arg(platform);
#else
    return QStringLiteral("libq%1.so").arg(platform);
#endif
}

QString toolkitPlatformsFolder()
{
    return QLibraryInfo::location(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
}

QByteArray asForeignMachine(QByteArray library)
{
    if (library.startsWith("\x7f" "ELF") && library.size() > 20) {
        library[4] = 1; // ELFCLASS32
        library[18] = 3; // EM_386, little-endian
        library[19] = 0;
        return library;
    }
    if (!library.startsWith("MZ") || library.size() < 0x40)
        return QByteArray();
    const int pe = int(uchar(library[0x3c]) | uchar(library[0x3d]) << 8 | uchar(library[0x3e]) << 16);
    if (pe + 6 > library.size() || library.mid(pe, 4) != QByteArray("PE\0\0", 4))
        return QByteArray();
    library[pe + 4] = char(0x4c); // IMAGE_FILE_MACHINE_I386
    library[pe + 5] = char(0x01);
    return library;
}

QByteArray asBuiltWithMinor(QByteArray plugin, int minor)
{
    // "QTMETADATA !", then the metadata's format, the toolkit's major and minor version.
    const int at = plugin.indexOf("QTMETADATA !");
    if (at < 0 || at + 15 > plugin.size())
        return QByteArray();
    plugin[at + 14] = char(minor);
    return plugin;
}

QByteArray withNeededRenamed(QByteArray library, const QByteArray& from, const QByteArray& to)
{
    const QByteArray named = from + '\0';
    if (to.size() != from.size() || !library.contains(named))
        return QByteArray();
    return library.replace(named, to + '\0');
}

QString toolkitLibraryName(const QString& module)
{
#ifdef Q_OS_WIN
    return QStringLiteral("Qt5%1.dll").arg(module);
#else
    return QStringLiteral("libQt5%1.so.5").arg(module);
#endif
}
