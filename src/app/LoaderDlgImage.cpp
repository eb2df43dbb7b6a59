// The file-information panel and the list of recent image files behind the image combo box.

#include "LoaderDlg.h"

#include "QtText.h"
#include "dialog/Profile.h"
#include "dialog/StringTable.h"
#include "dialog/SystemAccess.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QStyle>

int CLoaderDlg::RefreshImageInfo() {
    QComboBox* combo = Combo(IDC_IMAGE_COMBO);
    CChannel& channel = Channel(m_System);
    std::string path = combo->currentText().toStdString();
    ImagePath(m_System).Set(path);
    if (!path.empty())
        channel.PushStatus(LoadStr(140) + " - " + path);
    else
        channel.PushStatus(LoadStr(158));

    ImageLoadTexts texts;
    texts.openFailed = LoadStr(141);
    texts.corrupted = LoadStr(157);
    bool ok = LoadImage(Image(m_System), ImagePath(m_System), channel, texts) && !path.empty();

    if (ok) {
        m_RecentFiles.AddFront(path);
        m_RecentFiles.Save(m_Profile);
        FillImageCombo();
        combo->setEditText(QString::fromStdString(path));
        m_ImageInfo = DescribeImage(Image(m_System), &channel);
        m_DateText = QString::fromStdString(m_ImageInfo.date);
        m_TimeText = QString::fromStdString(m_ImageInfo.time);
        m_ImageVersionText = QString::fromStdString(m_ImageInfo.value);
        if (m_ImageInfo.options) {
            m_ImageTypeText = LoadQStr(143);
            m_ImageVersionLabel = LoadQStr(152);
            Item(IDC_PFL_VERSION)->setVisible(false);
            Item(IDC_PFL_VERSION_LABEL)->setVisible(false);
        } else {
            m_ImageTypeText = LoadQStr(144);
            m_ImageVersionLabel = LoadQStr(126);
            Item(IDC_PFL_VERSION)->setVisible(true);
            Item(IDC_PFL_VERSION_LABEL)->setVisible(true);
            m_PflVersionText = QString::fromStdString(m_ImageInfo.pflVersion);
        }
        m_ImageValid.Set(1);
        Job(m_System).m_FileState.Set(4);
        UpdateData();
        return 1;
    }

    m_RecentFiles.Remove(path);
    m_RecentFiles.Save(m_Profile);
    FillImageCombo();
    combo->setEditText(QString());
    m_ImageInfo = ImageFileInfo{};
    m_ImageTypeText = m_DateText = m_TimeText = m_PflVersionText = m_ImageVersionText = LoadQStr(145);
    m_ImageValid.Set(0);
    Job(m_System).m_FileState.Set(2);
    UpdateData();
    return 0;
}

void CLoaderDlg::FillImageCombo() {
    QComboBox* combo = Combo(IDC_IMAGE_COMBO);
    combo->clear();
    std::string path;
    for (int i = 0; m_RecentFiles.GetEntry(i, path); ++i)
        combo->addItem(QString::fromStdString(path));
    FitPortDropHeight(combo);
    combo->setCurrentIndex(m_RecentFiles.Count() > 0 ? 0 : -1);
    // The list is sized when it changes; the drop-down then shows the widest entry whole.
    OnImageDropDown();
}

void CLoaderDlg::OnImageSelChange(int index) {
    QComboBox* combo = Combo(IDC_IMAGE_COMBO);
    std::string path;
    if (!m_RecentFiles.GetEntry(index, path))
        return;
    combo->setEditText(QString::fromStdString(path));
    if (RefreshImageInfo() == 0)
        combo->setCurrentIndex(-1);
}

void CLoaderDlg::OnImageDropDown() {
    QComboBox* combo = Combo(IDC_IMAGE_COMBO);
    QFontMetrics fm(combo->font());
    int widest = 0;
    for (int i = 0; i < combo->count(); ++i)
        widest = std::max(widest, fm.horizontalAdvance(combo->itemText(i)));
    int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    int width = widest + 2 * frame + 4;
    if (combo->count() > combo->maxVisibleItems())
        width += style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    combo->view()->setMinimumWidth(width);
}
