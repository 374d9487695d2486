#include "testSupport.h"

#include <QFile>
#include <QProcessEnvironment>

#include <pwd.h>
#include <unistd.h>
#include <grp.h>

namespace {
debugCapture* current = nullptr;
}

debugCapture::debugCapture()
{
    current = this;
    previous = qInstallMessageHandler(&debugCapture::handler);
}

debugCapture::~debugCapture()
{
    qInstallMessageHandler(previous);
    current = nullptr;
}

void debugCapture::handler(QtMsgType, const QMessageLogContext& context, const QString& text)
{
    if (current)
        current->captured.push_back(line{text, QString::fromUtf8(context.file ? context.file : ""),
                                         context.line, QString::fromUtf8(context.function ? context.function : "")});
}

QStringList debugCapture::texts() const
{
    QStringList out;
    for (const line& l : captured)
        out << l.text;
    return out;
}

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

bool underCi()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

bool isRoot()
{
    return ::geteuid() == 0;
}

asNobody::asNobody()
{
    if (::geteuid() != 0)
        return;
    const passwd* pw = ::getpwnam("nobody");
    if (!pw)
        return;
    // Real IDs too, since access() checks those; the saved IDs stay root so
    // that the test can come back.
    if (::setresgid(pw->pw_gid, pw->pw_gid, 0) == 0 && ::setresuid(pw->pw_uid, pw->pw_uid, 0) == 0)
        dropped = true;
}

asNobody::~asNobody()
{
    if (dropped) {
        if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0)
            qFatal("cannot regain root");
    }
}

namespace layout {

const std::vector<QStringList>& rows()
{
    static const std::vector<QStringList> r{
        {"nc0", "10.77.1.1", "nc0"},
        {"nc0", "10.77.1.2", "nc0"},
        {"nc1", "10.77.4.1", "nc1"},
    };
    return r;
}

QStringList rejected()
{
    return {"lo", "ncnomc", "ncdown", "ncdownp"};
}

bool inside()
{
    return qEnvironmentVariable("NC_NETNS_LAYOUT") == QLatin1String("1");
}

} // namespace layout
