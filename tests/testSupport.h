#pragma once
// Helpers shared by the test programs.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtTest>

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

QByteArray readBytes(const QString& path);
void writeBytes(const QString& path, const QByteArray& data);
QByteArray testData(const QString& relative);

/// True when running under CI, where a missing prerequisite fails instead of skipping.
bool underCi();

/// Skips the test with reason, or fails it under CI.
#define NC_REQUIRE(condition, reason)                                   \
    do {                                                                \
        if (!(condition)) {                                             \
            if (underCi())                                              \
                QFAIL(qPrintable(QStringLiteral("CI needs this: ") + reason)); \
            QSKIP(qPrintable(reason));                                  \
        }                                                               \
    } while (0)

/// Runs with the effective user and group of "nobody" while it lives (root only), so that permission checks apply.
class asNobody
{
public:
    asNobody();
    ~asNobody();
    bool active() const { return dropped; }

private:
    bool dropped = false;
};

/// Whether this process is root (and can so drop to nobody).
bool isRoot();

// The interfaces that in-netns.sh builds, and what the tool must make of them.
namespace layout {
/// Rows expected, in order: name, address, adaptor ID.
const std::vector<QStringList>& rows();
/// Interfaces expected in "can't multicast" lines.
QStringList rejected();
/// True when this process runs inside the wrapper's namespace.
bool inside();
}
