#include "arrowKeys.h"

#include <QEvent>
#include <QKeyEvent>
#include <QTreeWidget>

namespace {

class framedRowFirst : public QObject
{
public:
    explicit framedRowFirst(QTreeWidget* tree) : QObject(tree), tree(tree) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != tree || event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() != Qt::Key_Down && key->key() != Qt::Key_Up) || key->modifiers() != Qt::NoModifier)
            return false;
        QTreeWidgetItem* framed = tree->currentItem();
        if (!framed || !tree->selectedItems().isEmpty())
            return false;
        framed->setSelected(true);
        return true;
    }

private:
    QTreeWidget* tree;
};

} // namespace

void highlightFramedRowFirst(QTreeWidget* tree)
{
    tree->installEventFilter(new framedRowFirst(tree));
}
