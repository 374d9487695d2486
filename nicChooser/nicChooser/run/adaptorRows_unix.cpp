#include "adaptorRows.h"
#include "systemText.h"

// The toolkit takes the kernel's interface names as Latin-1, which keeps
// every byte; the system means them as UTF-8, as its other names are, and
// that is the name the middleware binds to. A name that is not UTF-8 keeps
// its bytes (see textFromSystem), so that it is stored as the system has it.
QString systemInterfaceName(const QString& toolkitName)
{
    return textFromSystem(toolkitName.toLatin1());
}
