#include "adaptorRows.h"

// Windows reports interface names in UTF-16, which the toolkit keeps as they are.
QString systemInterfaceName(const QString& toolkitName)
{
    return toolkitName;
}
