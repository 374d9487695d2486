#include "helpDisplay.h"

#include <QDebug>
#include <QDialog>
#include <QFile>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include <chm_lib.h>

#include <memory>

namespace {

// An open compiled help file.
class chmArchive
{
public:
    explicit chmArchive(const QString& path) : file(chm_open(QFile::encodeName(path).constData())) {}
    ~chmArchive()
    {
        if (file)
            chm_close(file);
    }
    chmArchive(const chmArchive&) = delete;
    chmArchive& operator=(const chmArchive&) = delete;

    bool isOpen() const { return file != nullptr; }

    // The bytes stored under name ("/index.html"); null when there is none.
    QByteArray read(const QString& name) const
    {
        chmUnitInfo unit;
        if (chm_resolve_object(file, name.toUtf8().constData(), &unit) != CHM_RESOLVE_SUCCESS)
            return QByteArray();
        QByteArray data(int(unit.length), Qt::Uninitialized);
        const LONGINT64 got = chm_retrieve_object(file, &unit, reinterpret_cast<unsigned char*>(data.data()), 0,
                                                  LONGINT64(unit.length));
        if (got != LONGINT64(unit.length))
            return QByteArray();
        return data;
    }

    // The page the file names as its default topic, else its first page; empty when it has none.
    QString defaultTopic() const
    {
        // #SYSTEM: a version word, then records of (code, length, data); code 2 is the default topic.
        const QByteArray system = read(QStringLiteral("/#SYSTEM"));
        for (int pos = 4; pos + 4 <= system.size();) {
            const int code = uchar(system[pos]) | uchar(system[pos + 1]) << 8;
            const int length = uchar(system[pos + 2]) | uchar(system[pos + 3]) << 8;
            if (code == 2 && pos + 4 + length <= system.size()) {
                const QString topic = '/' + QString::fromUtf8(system.mid(pos + 4, length)).section(QChar(0), 0, 0);
                if (!read(topic).isNull())
                    return topic;
            }
            pos += 4 + length;
        }
        QString first;
        chm_enumerate(file, CHM_ENUMERATE_NORMAL | CHM_ENUMERATE_FILES, &chmArchive::firstPage, &first);
        return first;
    }

private:
    static int firstPage(chmFile*, chmUnitInfo* unit, void* context)
    {
        const QString name = QString::fromUtf8(unit->path);
        if (name.endsWith(QLatin1String(".htm"), Qt::CaseInsensitive)
            || name.endsWith(QLatin1String(".html"), Qt::CaseInsensitive)) {
            *static_cast<QString*>(context) = name;
            return CHM_ENUMERATOR_SUCCESS;
        }
        return CHM_ENUMERATOR_CONTINUE;
    }

    chmFile* file;
};

// A text browser whose pages and images come out of the help file.
class chmBrowser : public QTextBrowser
{
public:
    chmBrowser(std::unique_ptr<chmArchive> archive, QWidget* parent)
        : QTextBrowser(parent), chm(std::move(archive))
    {
        setOpenExternalLinks(true);
    }

    QVariant loadResource(int type, const QUrl& name) override
    {
        if (!name.scheme().isEmpty() && name.scheme() != QLatin1String("file"))
            return QTextBrowser::loadResource(type, name);
        // Names inside the file are absolute; the library matches loosely
        // on relative ones.
        const QString path = name.path().startsWith(QLatin1Char('/')) ? name.path() : '/' + name.path();
        const QByteArray data = chm->read(path);
        if (data.isNull()) {
            qDebug() << "Help file has no" << path;
            return QVariant();
        }
        if (type == QTextDocument::HtmlResource)
            return QString::fromUtf8(data);
        return data;
    }

private:
    std::unique_ptr<chmArchive> chm;
};

} // namespace

bool showHelp(QWidget* owner, const QString& path)
{
    auto archive = std::make_unique<chmArchive>(path);
    if (!archive->isOpen()) {
        qDebug() << "Can't open help file" << path;
        return false;
    }
    const QString topic = archive->defaultTopic();
    if (topic.isEmpty()) {
        qDebug() << "Help file" << path << "has no page to show";
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
    browser->setSource(QUrl(topic));
    window->show();
    return true;
}
