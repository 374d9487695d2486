#include "startup.h"

// An installation's folders are guarded by their access control lists, which
// the installer sets; the tool does not second-guess them.
outcome trustedCodeFolder(const QString& folder, QString* resolved)
{
    *resolved = folder;
    return outcome::done;
}
