#include "pathWalk.h"
#include "startup.h"
#include "systemText.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QList>

#include <dlfcn.h>
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

// Whether path, as it stands, holds only code of root's or the user's.
outcome trustedEntry(const QByteArray& path, const struct stat& st)
{
    if (!trustedOwner(st.st_uid))
        return {outcome::refused, describe(path, st) + QLatin1String(" belongs to another user")};
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return {outcome::refused, describe(path, st) + QLatin1String(" may be written by others")};
    return outcome::done;
}

// Whether nobody else can replace entry (at path) in the folder parent (at
// parentPath): the folder is theirs to write, or, for a sticky folder such
// as /tmp, the entry is theirs to replace.
outcome entryKept(const QByteArray& parentPath, const struct stat& parent, const QByteArray& path,
                  const struct stat& entry)
{
    const bool othersMayReplace = (parent.st_mode & (S_IWGRP | S_IWOTH)) && !(parent.st_mode & S_ISVTX);
    if (othersMayReplace || !trustedOwner(parent.st_uid))
        return trustedEntry(parentPath, parent);
    if (!trustedOwner(entry.st_uid))
        return trustedEntry(path, entry);
    return outcome::done;
}

QByteArray parentPathOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

// A walk step the toolkit could be led astray at: an entry someone else may
// replace (or a link someone else made).
outcome trustedStep(const walkStep& step)
{
    return entryKept(parentPathOf(step.path), step.folderStatus, step.path, step.entry);
}

// Every folder from / down to the absolute path resolved (which holds no
// link), and what it names itself.
outcome trustedComponents(const QByteArray& resolved)
{
    struct stat parent;
    if (::lstat("/", &parent) != 0)
        return {outcome::refused, QStringLiteral("/ cannot be examined")};
    QByteArray path = "/";
    for (const QByteArray& part : resolved.split('/')) {
        if (part.isEmpty())
            continue;
        const QByteArray here = joined(path, part);
        struct stat st;
        if (::lstat(here.constData(), &st) != 0 || S_ISLNK(st.st_mode))
            return {outcome::refused, shownPath(here) + QLatin1String(" changed while it was examined")};
        const outcome kept = entryKept(path, parent, here, st);
        if (!kept.ok())
            return kept;
        parent = st;
        path = here;
    }
    return trustedEntry(resolved, parent);
}

outcome trustedContents(const QByteArray& folder, QList<QByteArray>* seen);

// A link in the folder: the toolkit follows it by its text, so every step of
// that way must be one only root or the user can change, and what it leads
// to is checked like the folder.
outcome trustedLink(const QByteArray& link, QList<QByteArray>* seen)
{
    place where;
    const outcome walked = walkPath(link, &where, trustedStep);
    if (!walked.ok())
        return {outcome::refused, walked.reason()};
    descriptor target(where.name.isEmpty()
                          ? ::dup(where.folder.get())
                          : ::openat(where.folder.get(), where.name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!target.valid() || ::fstat(target.get(), &st) != 0)
        return outcome::done; // a dangling link holds no code
    const QByteArray real = resolvedPath(target.get());
    if (real.isEmpty())
        return {outcome::refused, shownPath(link) + QLatin1String(" leads nowhere the system can name")};
    const outcome components = trustedComponents(real);
    if (!components.ok() || !S_ISDIR(st.st_mode) || seen->contains(real))
        return components;
    seen->append(real);
    return trustedContents(real, seen);
}

// Everything in folder, links followed as the toolkit would follow them.
outcome trustedContents(const QByteArray& folder, QList<QByteArray>* seen)
{
    QDirIterator it(textFromSystem(folder), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray entry = systemBytes(it.next());
        struct stat st;
        if (::lstat(entry.constData(), &st) != 0)
            return {outcome::refused, shownPath(entry) + QLatin1String(" cannot be examined")};
        const outcome trusted = S_ISLNK(st.st_mode) ? trustedLink(entry, seen) : trustedEntry(entry, st);
        if (!trusted.ok())
            return trusted;
    }
    return outcome::done;
}

// The folder a walk found, open; invalid when it is none (*why says so).
descriptor foundFolder(const place& where, const QString& given, outcome* why)
{
    if (where.name.isEmpty())
        return descriptor(::dup(where.folder.get()));
    descriptor dir(::openat(where.folder.get(), where.name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid())
        *why = errno == ENOENT ? outcome(outcome::missing, QStringLiteral("does not exist"))
                               : outcome(outcome::refused, QStringLiteral("%1 is not a folder").arg(given));
    return dir;
}

} // namespace

outcome trustedCodeFolder(const QString& folder, QString* resolved)
{
    // The path as given, as the files' paths are followed; the toolkit then
    // gets what it led to, so that nothing on the way can be swapped after
    // the check.
    place where;
    outcome why = walkPath(systemBytes(folder), &where);
    if (!why.ok())
        return why;
    const descriptor dir = foundFolder(where, folder, &why);
    if (!dir.valid())
        return why;
    const QByteArray real = resolvedPath(dir.get());
    if (real.isEmpty())
        return {outcome::refused, QStringLiteral("it leads nowhere the system can name")};
    why = trustedComponents(real);
    if (!why.ok())
        return why;
    QList<QByteArray> seen{real};
    why = trustedContents(real, &seen);
    if (why.ok())
        *resolved = textFromSystem(real);
    return why;
}

bool toolkitLibraryFound(const QString& name)
{
    // The loader takes a library of that name from a folder of its search
    // path; only the one beside this program's toolkit core is sure to be
    // of the same build.
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&qVersion), &info) == 0 || !info.dli_fname)
        return false;
    const QString beside = QFileInfo(QFile::decodeName(info.dli_fname)).absolutePath() + QLatin1Char('/') + name;
    return !name.contains(QLatin1Char('/')) && QFileInfo::exists(beside);
}

// Nothing is held here: the toolkit gets the folder as the system resolved it.
void releaseCheckedFolder() {}
