#include "pathWalk.h"
#include "startup.h"
#include "systemText.h"

#include <QDirIterator>
#include <QList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool trustedOwner(uid_t owner)
{
    return owner == 0 || owner == ::geteuid();
}

QString describe(const QByteArray& path, const struct stat& st)
{
    return QStringLiteral("%1 (owner %2, permissions %3)")
        .arg(shownPath(path))
        .arg(st.st_uid)
        .arg(st.st_mode & 07777, 0, 8);
}

// Why path, as it stands, could hold code of someone else's.
QString untrustedEntry(const QByteArray& path, const struct stat& st)
{
    if (!trustedOwner(st.st_uid))
        return describe(path, st) + QLatin1String(" belongs to another user");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return describe(path, st) + QLatin1String(" may be written by others");
    return QString();
}

// Why someone else could replace entry (at path) in the folder parent (at
// parentPath): the folder is not theirs to write, or, for a sticky folder
// such as /tmp, the entry is not theirs to replace.
QString replaceableEntry(const QByteArray& parentPath, const struct stat& parent, const QByteArray& path,
                         const struct stat& entry)
{
    const bool othersMayReplace = (parent.st_mode & (S_IWGRP | S_IWOTH)) && !(parent.st_mode & S_ISVTX);
    if (othersMayReplace || !trustedOwner(parent.st_uid))
        return untrustedEntry(parentPath, parent);
    if (!trustedOwner(entry.st_uid))
        return untrustedEntry(path, entry);
    return QString();
}

QByteArray parentPathOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

// A walk step the toolkit could be led astray at: an entry someone else may
// replace (or a link someone else made).
QString untrustedStep(const walkStep& step)
{
    return replaceableEntry(parentPathOf(step.path), step.folderStatus, step.path, step.entry);
}

// Every folder from / down to the absolute path resolved (which holds no
// link), and what it names itself.
QString untrustedComponents(const QByteArray& resolved)
{
    struct stat parent;
    if (::lstat("/", &parent) != 0)
        return QStringLiteral("/ cannot be examined");
    QByteArray path = "/";
    for (const QByteArray& part : resolved.split('/')) {
        if (part.isEmpty())
            continue;
        const QByteArray here = joined(path, part);
        struct stat st;
        if (::lstat(here.constData(), &st) != 0 || S_ISLNK(st.st_mode))
            return shownPath(here) + QLatin1String(" changed while it was examined");
        const QString why = replaceableEntry(path, parent, here, st);
        if (!why.isEmpty())
            return why;
        parent = st;
        path = here;
    }
    return untrustedEntry(resolved, parent);
}

QString untrustedContents(const QByteArray& folder, QList<QByteArray>* seen);

// A link in the folder: the toolkit follows it by its text, so every step of
// that way must be one only root or the user can change, and what it leads
// to is checked like the folder.
QString untrustedLink(const QByteArray& link, QList<QByteArray>* seen)
{
    place where;
    QString why;
    if (!walkPath(link, &where, &why, untrustedStep))
        return why;
    descriptor target(where.name.isEmpty()
                          ? ::dup(where.folder.get())
                          : ::openat(where.folder.get(), where.name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!target.valid() || ::fstat(target.get(), &st) != 0)
        return QString(); // a dangling link holds no code
    const QByteArray real = resolvedPath(target.get());
    if (real.isEmpty())
        return shownPath(link) + QLatin1String(" leads nowhere the system can name");
    why = untrustedComponents(real);
    if (!why.isEmpty() || !S_ISDIR(st.st_mode) || seen->contains(real))
        return why;
    seen->append(real);
    return untrustedContents(real, seen);
}

// Everything in folder, links followed as the toolkit would follow them.
QString untrustedContents(const QByteArray& folder, QList<QByteArray>* seen)
{
    QDirIterator it(textFromSystem(folder), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray entry = systemBytes(it.next());
        struct stat st;
        if (::lstat(entry.constData(), &st) != 0)
            return shownPath(entry) + QLatin1String(" cannot be examined");
        const QString why = S_ISLNK(st.st_mode) ? untrustedLink(entry, seen) : untrustedEntry(entry, st);
        if (!why.isEmpty())
            return why;
    }
    return QString();
}

// The folder a walk found, open; invalid (with *why) when it is none.
descriptor foundFolder(const place& where, const QString& given, QString* why)
{
    if (where.name.isEmpty())
        return descriptor(::dup(where.folder.get()));
    descriptor dir(::openat(where.folder.get(), where.name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid())
        *why = errno == ENOENT ? QStringLiteral("does not exist") : QStringLiteral("%1 is not a folder").arg(given);
    return dir;
}

} // namespace

QString untrustedCodeFolder(const QString& folder, QString* resolved)
{
    // The path as given, as the files' paths are followed; the toolkit then
    // gets what it led to, so that nothing on the way can be swapped after
    // the check.
    place where;
    QString why;
    if (!walkPath(systemBytes(folder), &where, &why))
        return why;
    const descriptor dir = foundFolder(where, folder, &why);
    if (!dir.valid())
        return why;
    const QByteArray real = resolvedPath(dir.get());
    if (real.isEmpty())
        return QStringLiteral("it leads nowhere the system can name");
    why = untrustedComponents(real);
    if (!why.isEmpty())
        return why;
    QList<QByteArray> seen{real};
    why = untrustedContents(real, &seen);
    if (why.isEmpty())
        *resolved = textFromSystem(real);
    return why;
}
