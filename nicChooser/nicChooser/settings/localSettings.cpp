#include "localSettings.h"
#include "debugLog.h"
#include "fileReplace.h"
#include "systemText.h"

#include <vector>

const char* const settingsSection = "xDS";

namespace {

const QByteArray utf8Bom("\xEF\xBB\xBF");

// The C runtime's text mode ends a file at this byte; what follows it is
// never read as settings, and additions go before it.
const char dosEof = '\x1A';

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
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

bool isQuote(char c)
{
    return c == '"' || c == '\'';
}

// What reading makes of a value as it stands after '='.
QByteArray unwrapped(const QByteArray& raw)
{
    const QByteArray v = trimmed(raw);
    if (v.size() >= 2 && isQuote(v.front()) && v.back() == v.front())
        return v.mid(1, v.size() - 2);
    return v;
}

// value as it must stand after '=' to read back as itself: reading drops
// blanks at either end and one matching pair of quotes around it, and a
// pair of double quotes around the whole undoes exactly that.
QByteArray written(const QByteArray& value)
{
    return unwrapped(value) == value ? value : '"' + value + '"';
}

enum class lineKind { blank, comment, header, entry };

struct line {
    int start; // first byte
    int end;   // one past the last byte before the line ending
    int next;  // first byte of the next line
    lineKind kind;
    QByteArray name;  // section name for headers, key for entries
    QByteArray value; // entries only, as read
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
    // The name runs to the line's last ']': "[a] ; [b]" is section "a] ; [b".
    const int close = content.lastIndexOf(']');
    if (content.startsWith('[') && close > 0) {
        l.kind = lineKind::header;
        l.name = trimmed(content.mid(1, close - 1));
        return l;
    }
    l.kind = lineKind::entry;
    const int eq = content.indexOf('=');
    l.name = trimmed(content.left(eq < 0 ? content.size() : eq));
    l.value = eq < 0 ? QByteArray() : unwrapped(content.mid(eq + 1));
    return l;
}

// The part of a text that holds settings: after a UTF-8 mark, before the
// first end-of-file byte.
struct body {
    int start;
    int end;
};

body bodyOf(const QByteArray& text)
{
    const int start = text.startsWith(utf8Bom) ? utf8Bom.size() : 0;
    const int eof = text.indexOf(dosEof, start);
    return {start, eof < 0 ? text.size() : eof};
}

// Lines end in LF, in CRs followed by LF (text mode reads "\r\r\n" as a CR,
// which is blank, and a line end), or in a lone CR.
std::vector<line> splitLines(const QByteArray& text, const body& b)
{
    std::vector<line> lines;
    int pos = b.start;
    while (pos < b.end) {
        int end = pos;
        while (end < b.end && text.at(end) != '\n' && text.at(end) != '\r')
            ++end;
        if (end == b.end) {
            lines.push_back(classify(text, pos, end, end));
            break;
        }
        int run = end;
        while (run < b.end && text.at(run) == '\r')
            ++run;
        if (run < b.end && text.at(run) == '\n') {
            lines.push_back(classify(text, pos, end, run + 1));
            pos = run + 1;
            continue;
        }
        // Lone CRs: each ends a line; those after the first end empty ones.
        lines.push_back(classify(text, pos, end, end + 1));
        for (int cr = end + 1; cr < run; ++cr)
            lines.push_back(line{cr, cr, cr + 1, lineKind::blank, {}, {}});
        pos = run;
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

// The ending for lines added after lines[i]: that line's own, so that a
// reader splitting on it sees them as lines of their own; for a last line
// without one, the nearest earlier line's; CRLF, as the profile functions
// write, when no line has one.
QByteArray addedEnding(const QByteArray& text, const std::vector<line>& lines, int i)
{
    for (; i >= 0; --i)
        if (lines[i].next > lines[i].end)
            return text.mid(lines[i].end, lines[i].next - lines[i].end);
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

} // namespace

namespace ini {

QByteArray value(const QByteArray& text, const QByteArray& section, const QByteArray& key)
{
    const std::vector<line> lines = splitLines(text, bodyOf(text));
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
    const body b = bodyOf(text);
    const std::vector<line> lines = splitLines(text, b);
    const QByteArray entry = key + '=' + written(value);
    const sectionRange r = findSection(lines, section);
    QByteArray out = text;

    if (r.header >= 0) {
        const int k = findKey(lines, r, key);
        // A key that already reads as value is left as it is written, in
        // whatever spelling, so that a file holding the choice is not rewritten.
        if (k >= 0 && lines[k].value == value)
            return out;
        if (k >= 0)
            return out.replace(lines[k].start, lines[k].end - lines[k].start, entry);
        int after = r.header;
        for (int i = r.header + 1; i < r.last; ++i)
            if (lines[i].kind != lineKind::blank)
                after = i;
        const line& l = lines[after];
        const QByteArray eol = addedEnding(text, lines, after);
        if (l.next > l.end)
            return out.insert(l.next, entry + eol);
        // The section's last line is the text's last and has no line ending:
        // keep the text without a final newline.
        return out.insert(l.next, eol + entry);
    }

    const QByteArray header = '[' + section + ']';
    if (lines.empty())
        return out.insert(b.end, header + "\r\n" + entry + "\r\n");
    const int last = int(lines.size()) - 1;
    const QByteArray eol = addedEnding(text, lines, last);
    if (lines[last].next > lines[last].end)
        return out.insert(b.end, header + eol + entry + eol);
    return out.insert(b.end, eol + header + eol + entry);
}

QByteArray withValues(const QByteArray& text, const QByteArray& section,
                      const QList<QPair<QByteArray, QByteArray>>& entries)
{
    QByteArray out = text;
    for (const auto& e : entries)
        out = withValue(out, section, e.first, e.second);
    return out;
}

outcome entryAllowed(const QByteArray& key, const QByteArray& value)
{
    auto hasBreak = [](const QByteArray& s) { return s.contains('\n') || s.contains('\r') || s.contains('\0'); };
    if (trimmed(key).isEmpty())
        return {outcome::refused, QStringLiteral("the key is empty")};
    if (hasBreak(key) || hasBreak(value))
        return {outcome::refused, QStringLiteral("it holds a line break or NUL")};
    if (key.contains(dosEof) || value.contains(dosEof))
        return {outcome::refused,
                QStringLiteral("it holds an end-of-file byte (0x1A), which would hide the rest of the file")};
    if (key.contains('='))
        return {outcome::refused, QStringLiteral("the key holds '='")};
    // Names are read without surrounding blanks: such a key would never be
    // found again, and every write would add another line.
    if (trimmed(key) != key)
        return {outcome::refused, QStringLiteral("the key starts or ends with a blank")};
    if (key.startsWith('[') || key.startsWith(';'))
        return {outcome::refused, QStringLiteral("the key starts with '[' or ';'")};
    return outcome::done;
}

outcome entriesAllowed(const QList<QPair<QByteArray, QByteArray>>& entries)
{
    for (const auto& e : entries) {
        const outcome allowed = entryAllowed(e.first, e.second);
        if (!allowed.ok())
            return {outcome::refused,
                    QStringLiteral("%1 cannot be written: %2").arg(QString::fromUtf8(e.first), allowed.reason())};
    }
    return outcome::done;
}

outcome fileWithValues(const QByteArray& file, const QByteArray& section,
                       const QList<QPair<QByteArray, QByteArray>>& entries, QByteArray* out)
{
    const outcome allowed = entriesAllowed(entries);
    if (!allowed.ok())
        return allowed;
    const decodedFile d = decode(file);
    if (!d.readable.ok())
        return d.readable;
    if (d.kind != encoding::bytes)
        for (const auto& e : entries)
            if (!isUtf8(e.first) || !isUtf8(e.second))
                return {outcome::refused,
                        QStringLiteral("%1 cannot be written: it is not UTF-8 text, which a UTF-16 file needs")
                            .arg(QString::fromUtf8(e.first))};
    *out = encode(withValues(d.text, section, entries), d.kind);
    return outcome::done;
}

} // namespace ini

outcome readSettings(const QString& path, const QStringList& keys, QStringList* values)
{
    values->clear();
    for (int i = 0; i < keys.size(); ++i)
        *values << QString();
    QByteArray bytes;
    const outcome read = readWholeFile(path, &bytes);
    if (!read.ok())
        return read;
    const ini::decodedFile file = ini::decode(bytes);
    if (!file.readable.ok()) {
        ncDebug() << "Settings file" << path << "not read:" << file.readable.reason();
        return file.readable;
    }
    values->clear();
    for (const QString& key : keys) {
        const QByteArray v = ini::value(file.text, settingsSection, key.toUtf8());
        // As the system spells it: a name that is not UTF-8 reads back as written.
        *values << textFromSystem(cutUtf8(v, maxSettingsValueBytes));
    }
    return outcome::done;
}

QString readSetting(const QString& path, const QString& key)
{
    QStringList values;
    readSettings(path, {key}, &values);
    return values.value(0);
}

namespace {

QList<QPair<QByteArray, QByteArray>> entryBytes(const QList<settingsEntry>& entries)
{
    QList<QPair<QByteArray, QByteArray>> bytes;
    for (const settingsEntry& e : entries)
        bytes.append({e.first.toUtf8(), systemBytes(e.second)});
    return bytes;
}

outcome notWritten(const QString& path, const outcome& why)
{
    ncDebug() << "Not writing" << path << ":" << why.reason();
    return why;
}

} // namespace

outcome settingsAllowed(const QList<settingsEntry>& entries)
{
    return ini::entriesAllowed(entryBytes(entries));
}

outcome writeSettings(const QString& path, const QList<settingsEntry>& entries)
{
    // Bad input is refused before the file is even locked.
    const outcome allowed = settingsAllowed(entries);
    if (!allowed.ok())
        return notWritten(path, allowed);
    fileEdit file(path);
    return writeSettings(file, entries);
}

outcome writeSettings(fileEdit& file, const QList<settingsEntry>& entries)
{
    if (!file.ready())
        return notWritten(file.path(), file.result());
    // A file another writer created meanwhile is edited as it now is (a
    // few times at most: it cannot keep appearing while this edit holds it).
    for (int start = 0;; ++start) {
        QByteArray out;
        const outcome edited = ini::fileWithValues(file.bytes(), settingsSection, entryBytes(entries), &out);
        if (!edited.ok())
            return notWritten(file.path(), edited);
        if (out == file.bytes() && !file.missing())
            return outcome::unchanged;
        if (file.replace(out).ok())
            return outcome::done;
        if (start == 3 || !file.startOver().ok())
            return notWritten(file.path(), file.result());
    }
}

bool writeSetting(const QString& path, const QString& key, const QString& value)
{
    return writeSettings(path, {{key, value}}).ok();
}
