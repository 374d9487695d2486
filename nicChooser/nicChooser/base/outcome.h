#pragma once
// How an operation that may refuse or fail went, said one way everywhere: a
// code the caller acts on and, unless it succeeded, the reason in plain words
// for the operator, as the toolkit's file classes pair error() with
// errorString(). Every function of this program that can refuse or fail
// returns one (or, for an object that lives on, keeps its last one).
//
// Refusals and failures differ for the operator, not for the caller: either
// way nothing was changed (a file being replaced still holds its old bytes).
// The one exception says so in its name: incomplete, a file that was changed
// but not wholly as asked, its reason telling what it holds now.

#include <QString>

class outcome
{
public:
    enum code {
        done,        ///< did what was asked
        unchanged,   ///< there was nothing to do; nothing touched
        notFound,    ///< what it looks for inside the file is not there; nothing touched
        missing,     ///< the file itself is not there
        unreadable,  ///< the file could not be found or read in full (a refused link, no rights, a folder)
        malformed,   ///< its content cannot be understood; nothing touched
        unsupported, ///< understood, but changing it would lose or alter something else; nothing touched
        tooLarge,    ///< beyond any real size of what it holds; nothing touched
        refused,     ///< doing it would be unsafe or lose what the file is (owner, rights, a link); nothing touched
        busy,        ///< held by someone it does not wait for (a reader's lock)
        stopped,     ///< the caller stopped it (a wait given up)
        failed,      ///< the system did not let it happen; nothing changed
        incomplete,  ///< not success: the file was changed, but not wholly as asked; the reason says what it holds now
    };

    /// Success: done, or unchanged.
    outcome(code c = done) : code_(c) {}
    /// Anything but success, with why in plain words.
    outcome(code c, const QString& reason) : code_(c), reason_(reason) {}

    code what() const { return code_; }
    /// Why it did not succeed, in plain words for the operator; empty on success.
    const QString& reason() const { return reason_; }
    /// Done, or there was nothing to do.
    bool ok() const { return code_ == done || code_ == unchanged; }
    bool operator==(code c) const { return code_ == c; }
    bool operator!=(code c) const { return code_ != c; }

private:
    code code_ = done;
    QString reason_;
};
