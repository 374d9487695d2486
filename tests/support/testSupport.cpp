#include "testSupport.h"

bool underCi()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}
