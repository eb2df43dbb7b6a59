#include "PortListItems.h"

#include "serial/PortTable.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QStyledItemDelegate>
#include <algorithm>

namespace {

constexpr int DESCRIPTION_ROLE = Qt::UserRole + 1;

// Draws "path   description" in the drop-down while the item's own text stays the path.
class CPortItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString description = index.data(DESCRIPTION_ROLE).toString();
        if (!description.isEmpty())
            option->text += QStringLiteral("   ") + description;
    }
};

} // namespace

void DescribePortItems(QComboBox* list) {
    if (!dynamic_cast<CPortItemDelegate*>(list->itemDelegate()))
        list->setItemDelegate(new CPortItemDelegate(list));
    // Entry 0 is "OFF".
    for (int i = 1; i < list->count(); ++i) {
        const std::string path = list->itemText(i).toStdString();
        const QString text = QString::fromStdString(PortDescriptionText(path, DescribePort(path)));
        list->setItemData(i, text, DESCRIPTION_ROLE);
        list->setItemData(i, text.isEmpty() ? QVariant() : QVariant(text), Qt::ToolTipRole);
    }
    // The drop-down may be wider than the fixed-size box it belongs to.
    list->view()->setMinimumWidth(std::max(list->width(), list->view()->sizeHintForColumn(0)));
}

int PrintPortList(std::FILE* out) {
    EnumeratePorts();
    if (g_PortCount == 0)
        std::fputs("No serial ports found.\n", stderr);
    for (int i = 1; i <= g_PortCount; ++i) {
        const std::string path = g_PortNames[i];
        const std::string text = PortDescriptionText(path, DescribePort(path));
        std::fprintf(out, "%s%s%s\n", path.c_str(), text.empty() ? "" : "  ", text.c_str());
    }
    return 0;
}
