// libFuzzer target for the help file reader.
// Input: the bytes of a help file. Opening it, finding its default topic and
// reading its objects must be safe and bounded whatever the bytes say; a
// default topic, once named, must be readable.
#include "helpArchive.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every bad input explains itself in a debug line; here that is noise.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const helpArchive archive(QByteArray(reinterpret_cast<const char*>(data), int(size)));
    const QString topic = archive.defaultTopic();
    if (!topic.isEmpty() && archive.read(topic).isNull()) {
        std::fprintf(stderr, "default topic %s can't be read\n", qPrintable(topic));
        std::abort();
    }
    // The first objects are enough to reach every kind of storage; reading
    // all of a directory of thousands would only slow the search down.
    const QStringList names = archive.names();
    for (int i = 0; i < names.size() && i < 64; ++i) {
        const QByteArray object = archive.read(names[i]);
        if (object.size() > helpArchive::maxBytes)
            std::abort();
    }
    return 0;
}
