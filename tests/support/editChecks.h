#pragma once
// Independent checks that an edit changed only what it was asked to: used by
// the tests and the fuzz targets alike. Each returns an empty string when the
// edit is clean, else what is wrong with it.

#include <QByteArray>
#include <QString>

/// after must be before with at most one line replaced, or one line (and a
/// section header) added, each added line ending as the nearest line above
/// it that has an ending (CRLF when none has); a UTF-16 file must stay in
/// its encoding with its mark, and everything from the first end-of-file
/// byte (0x1A) on must stay as it was, at the end; and key in section must
/// read back as exactly value.
QString settingsEditProblem(const QByteArray& before, const QByteArray& after, const QByteArray& section,
                            const QByteArray& key, const QByteArray& value);

/// Why a settings file cannot take key=value however carefully it is edited
/// (UTF-16 that is no valid UTF-16, or an entry that is no UTF-8 text for a
/// UTF-16 file); empty when it can.
QString settingsUnwritable(const QByteArray& file, const QByteArray& key, const QByteArray& value);

/// after must be well-formed XML holding the same elements, attributes (in
/// order), comments, instructions and non-blank text as before, apart from
/// the text of the NetworkInterfaceAddress element, which must be address.
QString osplEditProblem(const QByteArray& before, const QByteArray& after, const QString& address);

/// Why data is not well-formed XML; empty when it is.
QString xmlProblem(const QByteArray& data);

/// Whether xmllint (Debian package libxml2-utils), the second parser, can be run.
bool secondParserFound();

/// osplEditProblem as libxml2, a parser independent of the toolkit's, reads
/// both files (its canonical form: UTF-8, references resolved, CDATA as
/// text): after must be well-formed to it and hold what before holds apart
/// from the address. Empty too when libxml2 cannot read before either (it
/// wants a mark or a declaration on UTF-16, and strict encodings).
QString secondParserEditProblem(const QByteArray& before, const QByteArray& after, const QString& address);
