#include "testFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
