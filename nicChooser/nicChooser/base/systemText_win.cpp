#include "systemText.h"

QString environmentText(const char* name)
{
    // The system keeps the environment in UTF-16, which the toolkit takes as it is.
    if (!qEnvironmentVariableIsSet(name))
        return QString();
    const QString value = qEnvironmentVariable(name);
    return value.isNull() ? QString(QLatin1String("")) : value;
}
