#include "localSettings.h"
#include "fileReplace.h"

#include <QDebug>
#include <QFile>

#include <vector>

const char* const settingsSection = "xDS";

namespace {

const QByteArray utf8Bom("\xEF\xBB\xBF");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimmed(const QByteArray& s)
{
    int b = 0;
    int e = s.size();
    while (b < e && isBlank(s.at(b)))
        ++b;
    while (e > b && isBlank(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

bool sameName(const QByteArray& a, const QByteArray& b)
{
    return a.size() == b.size() && qstrnicmp(a.constData(), b.constData(), a.size()) == 0;
}

enum class lineKind { blank, comment, header, entry };

struct line {
    int start;      // first byte
    int end;        // one past the last byte before the line ending
    int next;       // first byte of the next line
    lineKind kind;
    QByteArray name; // section name for headers, key for entries
    QByteArray value; // entries only, quotes unwrapped
};

line classify(const QByteArray& text, int start, int end, int next)
{
    line l{start, end, next, lineKind::blank, {}, {}};
    const QByteArray content = trimmed(text.mid(start, end - start));
    if (content.isEmpty())
        return l;
    if (content.startsWith(';')) {
        l.kind = lineKind::comment;
        return l;
    }
    const int close = content.indexOf(']');
    if (content.startsWith('[') && close > 0) {
        l.kind = lineKind::header;
        l.name = trimmed(content.mid(1, close - 1));
        return l;
    }
    l.kind = lineKind::entry;
    const int eq = content.indexOf('=');
    l.name = trimmed(content.left(eq < 0 ? content.size() : eq));
    QByteArray v = eq < 0 ? QByteArray() : trimmed(content.mid(eq + 1));
    if (v.size() >= 2 && (v.startsWith('"') || v.startsWith('\'')) && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    l.value = v;
    return l;
}

std::vector<line> splitLines(const QByteArray& text)
{
    std::vector<line> lines;
    int pos = text.startsWith(utf8Bom) ? utf8Bom.size() : 0;
    const int size = text.size();
    while (pos < size) {
        int end = pos;
        while (end < size && text.at(end) != '\n' && text.at(end) != '\r')
            ++end;
        int next = end;
        if (next < size && text.at(next) == '\r')
            ++next;
        if (next < size && text.at(next) == '\n')
            ++next;
        lines.push_back(classify(text, pos, end, next));
        pos = next;
    }
    return lines;
}

// The first header named section and the index one past its last line
// (the next header, or the end); header == -1 when there is none.
struct sectionRange {
    int header = -1;
    int last = -1;
};

sectionRange findSection(const std::vector<line>& lines, const QByteArray& section)
{
    sectionRange r;
    for (int i = 0; i < int(lines.size()); ++i) {
        if (lines[i].kind != lineKind::header)
            continue;
        if (r.header >= 0) {
            r.last = i;
            return r;
        }
        if (sameName(lines[i].name, section))
            r.header = i;
    }
    if (r.header >= 0)
        r.last = int(lines.size());
    return r;
}

int findKey(const std::vector<line>& lines, const sectionRange& r, const QByteArray& key)
{
    for (int i = r.header + 1; i < r.last; ++i)
        if (lines[i].kind == lineKind::entry && sameName(lines[i].name, key))
            return i;
    return -1;
}

// The file's own line ending: its first one, or CRLF for a file without any,
// as the profile functions write.
QByteArray lineEnding(const QByteArray& text)
{
    const int i = text.indexOf('\n');
    const int j = text.indexOf('\r');
    if (j >= 0 && (i < 0 || j < i))
        return j + 1 < text.size() && text.at(j + 1) == '\n' ? QByteArray("\r\n") : QByteArray("\r");
    if (i >= 0)
        return QByteArray("\n");
    return QByteArray("\r\n");
}

// Cuts utf8 to at most max bytes without splitting a character.
QByteArray cutUtf8(const QByteArray& utf8, int max)
{
    if (utf8.size() <= max)
        return utf8;
    int cut = max;
    while (cut > 0 && (uchar(utf8.at(cut)) & 0xC0) == 0x80)
        --cut;
    return utf8.left(cut);
}

// A UTF-16 file (as Windows' profile functions can keep) would be broken by a
// line of single bytes; it is left to the tools that write it.
bool isUtf16(const QString& path, const QByteArray& text)
{
    if (!text.startsWith("\xFF\xFE") && !text.startsWith("\xFE\xFF"))
        return false;
    qDebug() << "Settings file" << path << "is UTF-16, which this program does not read or write";
    return true;
}

// Refused, never cut, where the platform's file functions have a limit.
bool pathTooLong(const QString& path)
{
    const int limit = maxPathBytes();
    if (limit == 0 || QFile::encodeName(path).size() <= limit)
        return false;
    qDebug() << "Settings path is longer than" << limit << "bytes, not used:" << path;
    return true;
}

} // namespace

namespace ini {

QByteArray value(const QByteArray& text, const QByteArray& section, const QByteArray& key)
{
    const std::vector<line> lines = splitLines(text);
    const sectionRange r = findSection(lines, section);
    if (r.header < 0)
        return QByteArray();
    const int k = findKey(lines, r, key);
    if (k < 0)
        return QByteArray();
    // Present but empty must still read as present.
    return lines[k].value.isNull() ? QByteArray("") : lines[k].value;
}

QByteArray withValue(const QByteArray& text, const QByteArray& section, const QByteArray& key, const QByteArray& value)
{
    const std::vector<line> lines = splitLines(text);
    const QByteArray entry = key + '=' + value;
    const QByteArray eol = lineEnding(text);
    const sectionRange r = findSection(lines, section);

    if (r.header >= 0) {
        const int k = findKey(lines, r, key);
        if (k >= 0) {
            QByteArray out = text;
            return out.replace(lines[k].start, lines[k].end - lines[k].start, entry);
        }
        int after = r.header;
        for (int i = r.header + 1; i < r.last; ++i)
            if (lines[i].kind != lineKind::blank)
                after = i;
        const line& l = lines[after];
        QByteArray out = text;
        if (l.next > l.end)
            return out.insert(l.next, entry + eol);
        // The section's last line is the file's last and has no line ending:
        // keep the file without a final newline.
        return out.insert(l.next, eol + entry);
    }

    const int bodyStart = text.startsWith(utf8Bom) ? utf8Bom.size() : 0;
    const bool empty = text.size() == bodyStart;
    const bool endsWithNewline = text.endsWith('\n') || text.endsWith('\r');
    const QByteArray block = '[' + section + ']' + eol + entry;
    if (empty || endsWithNewline)
        return text + block + eol;
    return text + eol + block;
}

QByteArray withValues(const QByteArray& text, const QByteArray& section, const QList<QPair<QByteArray, QByteArray>>& entries)
{
    QByteArray out = text;
    for (const auto& e : entries)
        out = withValue(out, section, e.first, e.second);
    return out;
}

QString unsafeEntry(const QByteArray& key, const QByteArray& value)
{
    auto hasBreak = [](const QByteArray& s) {
        return s.contains('\n') || s.contains('\r') || s.contains('\0');
    };
    if (trimmed(key).isEmpty())
        return QStringLiteral("the key is empty");
    if (hasBreak(key) || hasBreak(value))
        return QStringLiteral("it holds a line break or NUL");
    if (key.contains('='))
        return QStringLiteral("the key holds '='");
    // Names are read without surrounding blanks: such a key would never be
    // found again, and every write would add another line.
    if (trimmed(key) != key)
        return QStringLiteral("the key starts or ends with a blank");
    const QByteArray k = trimmed(key);
    if (k.startsWith('[') || k.startsWith(';'))
        return QStringLiteral("the key starts with '[' or ';'");
    return QString();
}

} // namespace ini

QString readSetting(const QString& path, const QString& key)
{
    if (pathTooLong(path))
        return QString();
    QByteArray text;
    bool missing = false;
    if (!readWholeFile(path, &text, &missing) || missing || isUtf16(path, text))
        return QString();
    const QByteArray v = ini::value(text, settingsSection, key.toUtf8());
    return QString::fromUtf8(cutUtf8(v, maxSettingsValueBytes));
}

settingsResult writeSettings(const QString& path, const QList<settingsEntry>& entries, QString* reason)
{
    auto fail = [&](const QString& why) {
        qDebug() << "Not writing" << path << ":" << why;
        if (reason)
            *reason = why;
        return settingsResult::failed;
    };
    if (pathTooLong(path))
        return fail(QStringLiteral("its path is longer than %1 bytes").arg(maxPathBytes()));
    QList<QPair<QByteArray, QByteArray>> bytes;
    for (const settingsEntry& e : entries) {
        const QByteArray k = e.first.toUtf8();
        const QByteArray v = e.second.toUtf8();
        const QString unsafe = ini::unsafeEntry(k, v);
        if (!unsafe.isEmpty())
            return fail(QStringLiteral("%1 cannot be written: %2").arg(e.first, unsafe));
        bytes.append({k, v});
    }
    fileEdit file(path);
    if (!file.ready())
        return fail(file.reason());
    if (isUtf16(path, file.bytes()))
        return fail(QStringLiteral("it is a UTF-16 file, which this program does not write"));
    const QByteArray out = ini::withValues(file.bytes(), settingsSection, bytes);
    if (out == file.bytes() && !file.missing())
        return settingsResult::unchanged;
    if (!file.replace(out))
        return fail(file.reason());
    return settingsResult::written;
}

bool writeSetting(const QString& path, const QString& key, const QString& value)
{
    return writeSettings(path, {{key, value}}) != settingsResult::failed;
}
