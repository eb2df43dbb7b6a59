#pragma once
// String-table texts as Qt texts, for captions and labels.

#include "QtText.h"
#include "dialog/StringTable.h"

#include <QString>

inline QString LoadQStr(int id) {
    return QString::fromStdString(LoadStr(id));
}
