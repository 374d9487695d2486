#pragma once
// The table's first arrow key. With nothing highlighted, the toolkit puts
// the focus frame on a row without highlighting it, and Down would move on
// from there, so that the first row could never be reached by a first Down.
// A person reads the frame as "here": the first Down or Up highlights that
// row instead, and later keys move as usual.

#include <QObject>

class QTreeWidget;

/// Watches tree's keys as said above; lives as the tree's child.
void highlightFramedRowFirst(QTreeWidget* tree);
