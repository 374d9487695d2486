#include "systemText.h"

QString environmentText(const char* name)
{
    if (!qEnvironmentVariableIsSet(name))
        return QString();
    // As the bytes the environment holds, so that a folder named in another
    // encoding is still found; "set but empty" stays apart from "not set".
    const QString value = textFromSystem(qgetenv(name));
    return value.isNull() ? QString(QLatin1String("")) : value;
}
