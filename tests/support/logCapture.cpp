#include "logCapture.h"

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
        current->captured.push_back(line{text, QString::fromUtf8(context.file ? context.file : ""), context.line,
                                         QString::fromUtf8(context.function ? context.function : ""),
                                         QString::fromUtf8(context.category ? context.category : "")});
}

QStringList debugCapture::texts() const
{
    QStringList out;
    for (const line& l : captured)
        out << l.text;
    return out;
}
