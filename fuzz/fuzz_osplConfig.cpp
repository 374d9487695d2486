// libFuzzer target for the DDS configuration update. Input: the file. Either
// nothing is written, or the output is well-formed XML with the same content
// as the input apart from the address.
#include "editChecks.h"
#include "delve.h"
#include "osplConfig.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
// The walk logs every node it visits; at fuzzing speed that is only noise.
void quiet(QtMsgType, const QMessageLogContext&, const QString&)
{}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    const QString address = QStringLiteral("10.77.1.2");
    QByteArray output;
    if (rewriteOsplConfig(input, address, delve, &output) != outcome::done)
        return 0;
    const QString problem = osplEditProblem(input, output, address);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "bad edit: %s\n", qPrintable(problem));
        std::abort();
    }
    return 0;
}
