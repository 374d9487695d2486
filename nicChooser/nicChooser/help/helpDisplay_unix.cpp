#include "debugLog.h"
#include "helpDisplay.h"

#include "helpArchive.h"

#include <QAction>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

namespace {

// A text browser whose pages and images come out of the help file.
class chmBrowser : public QTextBrowser
{
public:
    chmBrowser(std::unique_ptr<helpArchive> archive, QWidget* parent) : QTextBrowser(parent), chm(std::move(archive))
    {
        setOpenExternalLinks(true);
    }

    QVariant loadResource(int type, const QUrl& name) override
    {
        if (!name.scheme().isEmpty() && name.scheme() != QLatin1String("file"))
            return QTextBrowser::loadResource(type, name);
        // Names inside the file are absolute; links between pages are
        // relative to the page, and all pages sit at the top.
        const QString path = name.path().startsWith(QLatin1Char('/')) ? name.path() : '/' + name.path();
        const QByteArray data = chm->read(path);
        if (data.isNull()) {
            ncDebug() << "Help file has no" << path;
            return QVariant();
        }
        if (type == QTextDocument::HtmlResource)
            return QString::fromUtf8(data);
        return data;
    }

private:
    std::unique_ptr<helpArchive> chm;
};

} // namespace

namespace {

// Back, Forward and Home above the page, as any help browser has them.
QHBoxLayout* navigationRow(QDialog* window, QTextBrowser* browser)
{
    auto* row = new QHBoxLayout;
    row->setContentsMargins(6, 6, 6, 0);
    // Alt+Left and Alt+Right work as well, as the page's own keys.
    const struct {
        const char* name;
        const char* text;
    } buttons[] = {{"helpBack", "Back"}, {"helpForward", "Forward"}, {"helpHome", "Home"}};
    for (const auto& b : buttons) {
        auto* button = new QPushButton(QString::fromLatin1(b.text), window);
        button->setObjectName(QString::fromLatin1(b.name));
        button->setAutoDefault(false);
        row->addWidget(button);
    }
    row->addStretch();
    auto* back = window->findChild<QPushButton*>(QStringLiteral("helpBack"));
    auto* forward = window->findChild<QPushButton*>(QStringLiteral("helpForward"));
    back->setEnabled(false);
    forward->setEnabled(false);
    QObject::connect(back, &QPushButton::clicked, browser, &QTextBrowser::backward);
    QObject::connect(forward, &QPushButton::clicked, browser, &QTextBrowser::forward);
    QObject::connect(window->findChild<QPushButton*>(QStringLiteral("helpHome")), &QPushButton::clicked, browser,
                     &QTextBrowser::home);
    QObject::connect(browser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    QObject::connect(browser, &QTextBrowser::forwardAvailable, forward, &QPushButton::setEnabled);
    return row;
}

// Finds text in the page from the cursor on, starting over at the top once.
void findInPage(QTextBrowser* browser, const QString& text)
{
    if (text.isEmpty() || browser->find(text))
        return;
    browser->moveCursor(QTextCursor::Start);
    browser->find(text);
}

// A find field under the page: Ctrl+F shows it, Enter finds the next match.
QLineEdit* findField(QDialog* window, QTextBrowser* browser)
{
    auto* field = new QLineEdit(window);
    field->setObjectName(QStringLiteral("helpFind"));
    field->setPlaceholderText(QStringLiteral("Find in this page (Enter for the next match)"));
    field->setClearButtonEnabled(true);
    field->hide();
    auto* find = new QAction(window);
    find->setShortcut(QKeySequence::Find);
    window->addAction(find);
    QObject::connect(find, &QAction::triggered, field, [field] {
        field->show();
        field->setFocus();
        field->selectAll();
    });
    QObject::connect(field, &QLineEdit::returnPressed, browser,
                     [browser, field] { findInPage(browser, field->text()); });
    return field;
}

// Beside the owner where its screen has room, never larger than the screen.
void placeBeside(QDialog* window, QWidget* owner)
{
    const QScreen* screen = owner->screen();
    if (!screen)
        return;
    const QRect place = helpPlacement(owner->frameGeometry(), QSize(700, 550), screen->availableGeometry());
    window->resize(place.size());
    window->move(place.topLeft());
}

} // namespace

bool showHelp(QWidget* owner, const QString& path)
{
    // One help window: a later press brings it to the front again.
    if (auto* open = owner->findChild<QDialog*>(QStringLiteral("helpWindow"))) {
        open->show();
        open->raise();
        open->activateWindow();
        return true;
    }
    auto archive = std::make_unique<helpArchive>(helpArchive::fromFile(path));
    if (!archive->isOpen()) {
        ncDebug() << "Can't open help file" << path;
        return false;
    }
    const QString topic = archive->defaultTopic();
    if (topic.isEmpty()) {
        ncDebug() << "Help file" << path << "has no page to show";
        return false;
    }
    // A window of the dialog's own, so that it goes when the dialog goes.
    auto* window = new QDialog(owner, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setObjectName(QStringLiteral("helpWindow"));
    auto* browser = new chmBrowser(std::move(archive), window);
    browser->setObjectName(QStringLiteral("helpBrowser"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(navigationRow(window, browser));
    layout->addWidget(browser);
    layout->addWidget(findField(window, browser));
    placeBeside(window, owner);
    QObject::connect(browser, &QTextBrowser::sourceChanged, window,
                     [window, browser] { window->setWindowTitle(browser->documentTitle()); });
    // The name as it is: a '#' or '%' in it is no URL syntax.
    QUrl start;
    start.setPath(topic, QUrl::DecodedMode);
    browser->setSource(start);
    window->show();
    return true;
}
