#include "debugLog.h"
#include "helpDisplay.h"

#include "helpArchive.h"

#include <QDialog>
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

bool showHelp(QWidget* owner, const QString& path)
{
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
    window->resize(700, 550);
    auto* browser = new chmBrowser(std::move(archive), window);
    browser->setObjectName(QStringLiteral("helpBrowser"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser);
    QObject::connect(browser, &QTextBrowser::sourceChanged, window,
                     [window, browser] { window->setWindowTitle(browser->documentTitle()); });
    // The name as it is: a '#' or '%' in it is no URL syntax.
    QUrl start;
    start.setPath(topic, QUrl::DecodedMode);
    browser->setSource(start);
    window->show();
    return true;
}
