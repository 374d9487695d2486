#include "netnsLayout.h"

#include <QNetworkInterface>
#include <QRegularExpression>

namespace layout {

const std::vector<QStringList>& rows()
{
    static const std::vector<QStringList> r{
        {"nc0", "10.77.1.1", "nc0"},
        {"nc0", "10.77.1.2", "nc0"},
        {"nc1", "10.77.4.1", "nc1"},
        {QString::fromUtf8("n\xC3\xA9"), "10.77.5.1", QString::fromUtf8("n\xC3\xA9")},
        // "x\xFFy": the byte that is no UTF-8 kept as the system has it.
        {QStringLiteral("x") + QChar(0xDCFF) + "y", "10.77.6.1", QStringLiteral("x") + QChar(0xDCFF) + "y"},
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

QString adaptorId(const QString& linuxName)
{
#ifdef Q_OS_WIN
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
        if (i.humanReadableName() == linuxName)
            return i.name();
#endif
    return linuxName;
}

QString withIds(QString text)
{
    for (const QString& name : {QStringLiteral("nc0"), QStringLiteral("nc1")}) {
        const QString id = adaptorId(name);
        text.replace(QRegularExpression("(\\t[0-9.]+\\t)" + name + "(?=\\t|\\n|$)"), "\\1" + id);
        text.replace(QRegularExpression("(adaptor *= *)" + name + "(?=\\r|\\n)", QRegularExpression::CaseInsensitiveOption),
                     "\\1" + id);
        text.replace("/select=" + name, "/select=" + id);
        text.replace("\"" + name + "\"", "\"" + id + "\"");
        text.replace(QRegularExpression(" on " + name + "(?=[ :;.,)\\n]|$)"), " on " + id);
    }
    return text;
}

QByteArray withIds(const QByteArray& text)
{
    return text.isNull() ? text : withIds(QString::fromLatin1(text)).toLatin1();
}
