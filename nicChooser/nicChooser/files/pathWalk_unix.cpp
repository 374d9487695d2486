#include "pathWalk.h"
#include "systemText.h"

#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr long procMagic = 0x9fa0; // PROC_SUPER_MAGIC
constexpr int maxLinks = 40;

QByteArray parentOf(const QByteArray& folder)
{
    const int slash = folder.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : folder.left(slash);
}

// Whether the entries of folder are the system's own links (/proc), which
// stand for what they lead to rather than hold a path.
bool inProc(int folder)
{
    struct statfs fs;
    return ::fstatfs(folder, &fs) == 0 && long(fs.f_type) == procMagic;
}

// The text of the link name in folder, whatever its length.
bool linkText(int folder, const QByteArray& name, QByteArray* text)
{
    text->resize(256);
    for (;;) {
        const ssize_t n = ::readlinkat(folder, name.constData(), text->data(), size_t(text->size()));
        if (n < 0)
            return false;
        if (n < text->size()) {
            text->truncate(int(n));
            return true;
        }
        text->resize(text->size() * 2);
    }
}

// Follows a path as the system does, checking every symbolic link on the way.
class pathWalker
{
public:
    explicit pathWalker(const walkJudge& judge) : judge(judge) {}

    bool walk(const QByteArray& path, place* out)
    {
        if (path.isEmpty())
            return fail(QStringLiteral("no path was given"));
        const bool relative = !path.startsWith('/');
        descriptor start(::open(relative ? "." : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!start.valid())
            return fail(errorText(errno));
        QByteArray startPath("/");
        if (relative) {
            QByteArray cwd(4096, '\0');
            startPath = ::getcwd(cwd.data(), size_t(cwd.size())) ? QByteArray(cwd.constData()) : QByteArray(".");
        }
        return walkFrom(std::move(start), startPath, path, out);
    }

    outcome result;

private:
    enum class step { next, done, failed };

    bool fail(const QString& why)
    {
        result = outcome(outcome::unreadable, why);
        return false;
    }

    step failed(const QString& why)
    {
        fail(why);
        return step::failed;
    }

    bool walkFrom(descriptor dir, QByteArray dirPath, const QByteArray& path, place* out)
    {
        if (path.startsWith('/')) {
            dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            dirPath = "/";
            if (!dir.valid())
                return fail(errorText(errno));
        }
        QList<QByteArray> parts = path.split('/');
        parts.removeAll(QByteArray());
        if (path.endsWith('/') || parts.isEmpty())
            parts.append("."); // names a folder
        for (int i = 0; i < parts.size(); ++i) {
            const bool last = i + 1 == parts.size();
            step s = step::next;
            if (parts[i] == "..")
                s = climb(&dir, &dirPath);
            else if (parts[i] != ".")
                s = enter(&dir, &dirPath, parts[i], last, out);
            if (s == step::failed)
                return false;
            if (s == step::done)
                return true;
            if (last) // "." or "..": the folder itself
                *out = place{std::move(dir), dirPath, QByteArray()};
        }
        return true;
    }

    step climb(descriptor* dir, QByteArray* dirPath)
    {
        descriptor up(::openat(dir->get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!up.valid())
            return failed(
                QStringLiteral("%1 cannot be reached: %2").arg(shownPath(parentOf(*dirPath)), errorText(errno)));
        struct stat left;
        if (judge && (::fstat(dir->get(), &left) != 0 || !judged(up.get(), left, *dirPath)))
            return step::failed;
        *dir = std::move(up);
        *dirPath = parentOf(*dirPath);
        return step::next;
    }

    // One named component: a folder to go into, a link to follow, or the last
    // component, which names the file (existing or not).
    step enter(descriptor* dir, QByteArray* dirPath, const QByteArray& part, bool last, place* out)
    {
        const QByteArray here = joined(*dirPath, part);
        struct stat st;
        if (::fstatat(dir->get(), part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT && last) {
                *out = place{std::move(*dir), *dirPath, part};
                return step::done;
            }
            if (errno == ENOENT) {
                result = outcome(outcome::missing, QStringLiteral("the folder %1 does not exist").arg(shownPath(here)));
                return step::failed;
            }
            return failed(QStringLiteral("%1 cannot be reached: %2").arg(shownPath(here), errorText(errno)));
        }
        if (judge && !judged(dir->get(), st, here))
            return step::failed;
        if (S_ISLNK(st.st_mode))
            return throughLink(dir, dirPath, part, st, last, out);
        if (last) {
            *out = place{std::move(*dir), *dirPath, part};
            return step::done;
        }
        if (!S_ISDIR(st.st_mode))
            return failed(QStringLiteral("%1 is not a folder").arg(shownPath(here)));
        dir->reset(::openat(dir->get(), part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir->valid())
            return failed(QStringLiteral("%1 cannot be reached: %2").arg(shownPath(here), errorText(errno)));
        *dirPath = here;
        return step::next;
    }

    step throughLink(descriptor* dir, QByteArray* dirPath, const QByteArray& part, const struct stat& st, bool last,
                     place* out)
    {
        place target;
        const bool followed = inProc(dir->get()) ? followHandle(*dir, *dirPath, part, st, &target)
                                                 : followLink(std::move(*dir), *dirPath, part, st, &target);
        if (!followed)
            return step::failed;
        if (last) {
            *out = std::move(target);
            return step::done;
        }
        if (target.name.isEmpty()) {
            *dir = std::move(target.folder);
            *dirPath = target.folderPath;
            return step::next;
        }
        dir->reset(
            ::openat(target.folder.get(), target.name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        *dirPath = joined(target.folderPath, target.name);
        struct stat opened;
        if (!dir->valid())
            return failed(QStringLiteral("%1 is not a folder").arg(shownPath(*dirPath)));
        // What was checked must be what was opened.
        if (target.linkOwner != uid_t(-1) && (::fstat(dir->get(), &opened) != 0 || opened.st_uid != target.linkOwner))
            return failed(QStringLiteral("%1 changed while the link to it was followed").arg(shownPath(*dirPath)));
        return step::next;
    }

    // The owner-match rule: a link made by the user, by root or by whoever
    // owns what it points to cannot lead the user anywhere its maker could
    // not go; any other link could be a trap laid for root.
    bool followLink(descriptor dir, const QByteArray& dirPath, const QByteArray& name, const struct stat& link,
                    place* out)
    {
        const QByteArray here = joined(dirPath, name);
        if (++links > maxLinks)
            return fail(QStringLiteral("%1: too many symbolic links in a row (a loop?)").arg(shownPath(here)));
        QByteArray text;
        if (!linkText(dir.get(), name, &text))
            return fail(QStringLiteral("the link %1 cannot be read: %2").arg(shownPath(here), errorText(errno)));
        if (!walkFrom(std::move(dir), dirPath, text, out))
            return false;
        if (vouched(link))
            return true;
        struct stat target;
        const int r = out->name.isEmpty()
                          ? ::fstat(out->folder.get(), &target)
                          : ::fstatat(out->folder.get(), out->name.constData(), &target, AT_SYMLINK_NOFOLLOW);
        if (r != 0)
            return fail(QStringLiteral(
                            "the link %1 is owned by %2 and points to %3, which does not exist, so it is not followed")
                            .arg(shownPath(here), userName(link.st_uid), shownPath(text)));
        if (!ownerMatches(here, link, target))
            return false;
        out->linkOwner = link.st_uid;
        return true;
    }

    // A link of the system's own in /proc: the kernel knows where it leads
    // (its text may name a place in another mount namespace, or nothing at
    // all), so the kernel follows it.
    bool followHandle(const descriptor& dir, const QByteArray& dirPath, const QByteArray& name, const struct stat& link,
                      place* out)
    {
        const QByteArray here = joined(dirPath, name);
        if (++links > maxLinks)
            return fail(QStringLiteral("%1: too many symbolic links in a row (a loop?)").arg(shownPath(here)));
        descriptor target(::openat(dir.get(), name.constData(), O_PATH | O_CLOEXEC));
        struct stat st;
        if (!target.valid() || ::fstat(target.get(), &st) != 0)
            return fail(QStringLiteral("%1 cannot be reached: %2").arg(shownPath(here), errorText(errno)));
        if (!S_ISDIR(st.st_mode))
            return fail(QStringLiteral("%1 is a link of the system's to a file, whose folder cannot be known, so it is "
                                       "not followed")
                            .arg(shownPath(here)));
        if (!vouched(link) && !ownerMatches(here, link, st))
            return false;
        *out = place{std::move(target), here, QByteArray()};
        return true;
    }

    bool vouched(const struct stat& link) const { return link.st_uid == user || link.st_uid == 0; }

    bool ownerMatches(const QByteArray& here, const struct stat& link, const struct stat& target)
    {
        if (target.st_uid == link.st_uid)
            return true;
        return fail(
            QStringLiteral("the link %1 is owned by %2, but what it points to is owned by %3, so it is not followed")
                .arg(shownPath(here), userName(link.st_uid), userName(target.st_uid)));
    }

    bool judged(int folder, const struct stat& entry, const QByteArray& path)
    {
        struct stat status;
        if (::fstat(folder, &status) != 0)
            return fail(QStringLiteral("%1 cannot be examined: %2").arg(shownPath(path), errorText(errno)));
        result = judge(walkStep{folder, status, entry, path});
        return result.ok();
    }

    const walkJudge& judge;
    int links = 0;
    const uid_t user = ::geteuid();
};

} // namespace

void descriptor::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

outcome walkPath(const QByteArray& path, place* out, const walkJudge& judge)
{
    pathWalker walker(judge);
    return walker.walk(path, out) ? outcome::done : walker.result;
}

QByteArray resolvedPath(int fd)
{
    QByteArray text;
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    if (!linkText(AT_FDCWD, proc, &text) || !text.startsWith('/'))
        return QByteArray();
    // The system marks a removed folder so; such a path leads nowhere.
    struct stat named, held;
    if (::stat(text.constData(), &named) != 0 || ::fstat(fd, &held) != 0 || !sameFile(named, held))
        return QByteArray();
    return text;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QByteArray joined(const QByteArray& folder, const QByteArray& name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

QString shownPath(const QByteArray& path)
{
    return textFromSystem(path);
}
