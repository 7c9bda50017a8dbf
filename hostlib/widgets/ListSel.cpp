#include "hostlib/widgets/ListSel.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>
#include <algorithm>

int GetListSel(const QAbstractItemView& list) {
    const QItemSelectionModel* selection = list.selectionModel();
    if (!selection) return -1;
    // The selection keeps the order in which rows were picked; the host reports the
    // first row of the list that is selected, as a list control walks them.
    int lowest = -1;
    for (const QModelIndex& index : selection->selectedIndexes()) {
        if (lowest < 0 || index.row() < lowest) lowest = index.row();
    }
    return lowest;
}
