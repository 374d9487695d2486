#pragma once
// Message boxes as a person meets them: while a boxWatcher lives, every modal
// message box that opens is read and answered with its OK button, so that a
// test can run code that shows one and then check what it said.

#include <QObject>
#include <QStringList>
#include <QTimer>

class boxWatcher : public QObject
{
public:
    boxWatcher();
    /// The titles of the boxes answered, in order.
    const QStringList& titles() const { return seenTitles; }
    /// Their texts.
    const QStringList& texts() const { return seenTexts; }

private:
    void look();
    QTimer timer;
    QStringList seenTitles, seenTexts;
};
