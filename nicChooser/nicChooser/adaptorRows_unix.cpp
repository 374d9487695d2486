#include "adaptorRows.h"

// The toolkit takes the kernel's interface names as Latin-1, which keeps
// every byte; the system means them as UTF-8, as its other names are, and
// that is the name the middleware binds to.
QString systemInterfaceName(const QString& toolkitName)
{
    return QString::fromUtf8(toolkitName.toLatin1());
}
