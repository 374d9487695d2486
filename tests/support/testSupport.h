#pragma once
// What every test program may need: the helpers below, and how a test that
// cannot get what it needs behaves (it skips, or under CI=true it fails).

#include "logCapture.h"
#include "netnsLayout.h"
#include "processes.h"
#include "testFiles.h"
#include "testUsers.h"

#include <QProcess>
#include <QtTest>

/// True when this program was built with AddressSanitizer, whose shadow memory and slowness make memory and time
/// figures meaningless.
constexpr bool underSanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

/// True when running under CI, where a missing prerequisite fails instead of skipping.
bool underCi();

/// True when this Windows program runs under Wine rather than on Windows (false on Linux).
bool underWine();

/// Reads p's stderr into *seen until it holds text or p ends, for up to limitMs; true when it holds text.
bool waitForError(QProcess* p, const QByteArray& text, QByteArray* seen, int limitMs = 60000);

/// Leaves the row out of the Windows build, saying why it cannot hold there.
#ifdef Q_OS_WIN
#define NC_LINUX_ONLY(reason) QSKIP(reason)
#else
#define NC_LINUX_ONLY(reason) (void)0
#endif

/// Skips the test with reason, or fails it under CI.
#define NC_REQUIRE(condition, reason)                                                                                  \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            if (underCi())                                                                                             \
                QFAIL(qPrintable(QStringLiteral("CI needs this: ") + reason));                                         \
            QSKIP(qPrintable(reason));                                                                                 \
        }                                                                                                              \
    } while (0)
