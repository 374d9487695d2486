#pragma once
// The program's debug lines, as a test sees them: every message sent through
// qDebug and friends while a debugCapture lives, with its file, line and
// function.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

/// Collects every message sent through qDebug and friends while it lives.
class debugCapture
{
public:
    struct line {
        QString text;
        QString file;
        int lineNumber;
        QString function;
        QString category;
    };
    debugCapture();
    ~debugCapture();
    QStringList texts() const;
    const std::vector<line>& lines() const { return captured; }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString&);
    std::vector<line> captured;
    QtMessageHandler previous;
};
