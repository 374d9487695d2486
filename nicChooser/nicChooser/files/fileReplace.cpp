#include "fileReplace.h"
#include "debugLog.h"

outcome sizeAllowed(qint64 size)
{
    if (size <= maxFileBytes)
        return outcome::done;
    return {outcome::tooLarge,
            QStringLiteral("it is larger than %1 MiB, far more than any settings file or DDS configuration holds")
                .arg(maxFileBytes >> 20)};
}

outcome mayReplace(const replaceFacts& facts)
{
    if (facts.exists) {
        // Root may write anywhere, but a file stripped of every write bit was
        // protected on purpose by whoever did it.
        if (!facts.anyWriteBit)
            return {outcome::refused, QStringLiteral("the file is read-only")};
        if (!facts.mayWriteFile)
            return {outcome::refused, QStringLiteral("you may not write this file")};
        if (!facts.keepsOwner)
            return {outcome::refused,
                    QStringLiteral("the file belongs to %1; replacing it would make it yours").arg(facts.owner)};
        if (!facts.mayWriteFolder)
            return {outcome::refused,
                    QStringLiteral("you may write this file but not its folder, so it cannot be replaced safely")};
        return outcome::done;
    }
    if (!facts.mayWriteFolder)
        return {outcome::refused, QStringLiteral("you may not create files in its folder")};
    return outcome::done;
}

outcome fileEdit::startOver()
{
    if (!createdMeanwhile(*state_))
        return result_;
    return begun(beginEdit(*state_, &bytes_, &missing_));
}

outcome fileEdit::begun(const outcome& how)
{
    result_ = how;
    ready_ = how.ok();
    if (how == outcome::unreadable || how == outcome::tooLarge)
        ncDebug() << "Can't read" << path_ << ":" << how.reason();
    else if (!how.ok() && how != outcome::missing)
        ncDebug() << "Not writing" << path_ << ":" << how.reason();
    return result_;
}
