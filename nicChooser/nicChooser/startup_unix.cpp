#include "startup.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool trustedOwner(uid_t owner)
{
    return owner == 0 || owner == ::geteuid();
}

QString describe(const QString& path, const struct stat& st)
{
    return QStringLiteral("%1 (owner %2, permissions %3)").arg(path).arg(st.st_uid).arg(st.st_mode & 07777, 0, 8);
}

// Why path, as it stands, could hold code of someone else's.
QString untrustedEntry(const QString& path, const struct stat& st)
{
    if (!trustedOwner(st.st_uid))
        return describe(path, st) + QLatin1String(" belongs to another user");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return describe(path, st) + QLatin1String(" may be written by others");
    return QString();
}

// untrustedCodeFolder, seen holding the folders already examined (links may
// lead back to them).
QString untrustedBelow(const QString& folder, QStringList* seen)
{
    // The folders on the way, as the system resolves them: whoever may
    // replace one of them may replace everything below it.
    const QString real = QFileInfo(folder).canonicalFilePath();
    if (real.isEmpty())
        return folder + QLatin1String(" cannot be resolved");
    if (seen->contains(real))
        return QString(); // a link back to a folder being examined
    seen->append(real);
    QString path = QStringLiteral("/");
    struct stat parent;
    if (::lstat("/", &parent) != 0)
        return QStringLiteral("/ cannot be examined");
    for (const QString& part : real.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path = path == QLatin1String("/") ? path + part : path + QLatin1Char('/') + part;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return path + QLatin1String(" cannot be examined");
        // Others may add entries to a sticky folder such as /tmp, but not
        // replace one that is not theirs.
        const bool othersMayReplace = (parent.st_mode & (S_IWGRP | S_IWOTH)) && !(parent.st_mode & S_ISVTX);
        if (othersMayReplace || !trustedOwner(parent.st_uid))
            return untrustedEntry(QFileInfo(path).path(), parent);
        if (!trustedOwner(st.st_uid))
            return untrustedEntry(path, st);
        parent = st;
    }
    const QString own = untrustedEntry(real, parent);
    if (!own.isEmpty())
        return own;
    // And everything in it, following links to what they lead to.
    QDirIterator it(real, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        struct stat st;
        if (::stat(QFile::encodeName(entry).constData(), &st) != 0)
            continue; // a dangling link holds no code
        const QString why = untrustedEntry(entry, st);
        if (!why.isEmpty())
            return why;
        if (QFileInfo(entry).isSymLink()) {
            const QString target = untrustedBelow(QFileInfo(entry).canonicalFilePath(), seen);
            if (!target.isEmpty())
                return target;
        }
    }
    return QString();
}

} // namespace

QString untrustedCodeFolder(const QString& folder)
{
    QStringList seen;
    return untrustedBelow(folder, &seen);
}
