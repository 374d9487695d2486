// libFuzzer target for the settings reader and writer.
// Input: byte 0 picks the key's length, byte 1 the value's, then the key,
// the value and the file's bytes. Reading any file must be safe; a write
// must change only the key's line (or add it), keep the file's encoding and
// read back exactly; only what cannot be written may be refused.
#include "editChecks.h"
#include "localSettings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t keyLength = data[0] % 24;
    const std::size_t valueLength = data[1] % 64;
    if (size < 2 + keyLength + valueLength)
        return 0;
    const char* p = reinterpret_cast<const char*>(data) + 2;
    const QByteArray key(p, int(keyLength));
    const QByteArray value(p + keyLength, int(valueLength));
    const QByteArray text(p + keyLength + valueLength, int(size - 2 - keyLength - valueLength));

    (void)ini::value(ini::decode(text).text, settingsSection, key);
    const QList<QPair<QByteArray, QByteArray>> entries{{key, value}};
    QByteArray once;
    const outcome edited = ini::fileWithValues(text, settingsSection, entries, &once);
    if (!edited.ok()) {
        if (ini::entryAllowed(key, value).ok() && settingsUnwritable(text, key, value).isEmpty()) {
            std::fprintf(stderr, "refused a file it could write: %s\n", qPrintable(edited.reason()));
            std::abort();
        }
        return 0;
    }
    QString problem = settingsUnwritable(text, key, value);
    if (problem.isEmpty())
        problem = settingsEditProblem(text, once, settingsSection, key, value);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "bad edit: %s\n", qPrintable(problem));
        std::abort();
    }
    QByteArray twice;
    if (!ini::fileWithValues(once, settingsSection, entries, &twice).ok() || twice != once) {
        std::fprintf(stderr, "a second identical write changed the file\n");
        std::abort();
    }
    return 0;
}
