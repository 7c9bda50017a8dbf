#pragma once

#include "platform/Api.h"

class QAbstractItemView;

// The selected row of a list: the lowest when several are selected, -1 when none.
VKTBASE_API int GetListSel(const QAbstractItemView& list);
