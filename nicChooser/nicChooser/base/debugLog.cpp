#include "debugLog.h"

#include <cstdio>
#include <cstring>

Q_LOGGING_CATEGORY(nicChooserLog, "nicChooser")

namespace {

QtMessageHandler toolkitHandler = nullptr;

void plainHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && std::strcmp(context.category, nicChooserLog().categoryName()) == 0) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
        return;
    }
    toolkitHandler(type, context, text);
}

} // namespace

void keepDebugLinesPlain()
{
    if (qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        return;
    const QtMessageHandler previous = qInstallMessageHandler(plainHandler);
    if (previous != plainHandler)
        toolkitHandler = previous;
}
