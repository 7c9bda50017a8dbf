#include "ui/AssignDlg.h"

#include <cstdio>

#include "hostlib/VktBase.h"
#include "platform/TextNumber.h"
#include "ui/DialogLook.h"
#include "ui_AssignDlg.h"

CAssignDlg::CAssignDlg(bool modify, int32_t rtu, int32_t wpid,
                       const std::map<int32_t, int32_t>& map, QWidget* parent)
    : QDialog(parent),
      m_nWPID(wpid),
      m_nRTU(rtu),
      m_bModify(modify),
      m_ui(std::make_unique<Ui::CAssignDlg>()),
      m_map(map) {
    m_ui->setupUi(this);
    ApplyDialogLook(*this, 9, kDialogUnits);
    m_showMessage = [this](const QString& text) { ShowDialogMessage(this, text); };
    m_ui->wpidEdit->setText(QString::number(m_nWPID));
    // Every RTU of the host, of any type, in the host's order.
    CObList<CRTUDef> rtus;
    OutDBObj(kObjRTUDef, "ORDER BY ID ASC", rtus);
    int selected = 0;
    for (const auto& def : rtus) {
        char text[256];
        std::snprintf(text, sizeof text, "%s(%d)", def->m_strName.c_str(), def->m_nRTUID);
        if (def->m_nRTUID == m_nRTU) selected = m_ui->rtuList->count();
        m_ui->rtuList->addItem(QString::fromUtf8(text));
    }
    DestroyObA(rtus);
    m_ui->rtuList->setCurrentIndex(m_ui->rtuList->count() > 0 ? selected : -1);
    m_ui->rtuList->setEnabled(!m_bModify);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CAssignDlg::OnOK);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

CAssignDlg::~CAssignDlg() = default;

void CAssignDlg::OnOK() {
    // The RTU comes from the selected entry, never from text typed into the box.
    const int index = m_ui->rtuList->currentIndex();
    if (index < 0) return;  // the host defines no RTU: nothing to confirm
    const int32_t rtu = GetIDFromNameID(m_ui->rtuList->itemText(index).toStdString());
    if (!m_bModify && m_map.count(rtu)) {
        m_showMessage(QString::fromUtf8(kDuplicate));
        return;
    }
    const auto wpid = ReadWholeNumber(m_ui->wpidEdit->text().trimmed().toStdString());
    if (!wpid) {
        m_showMessage(QString::fromUtf8(kNotAnInteger));
        return;
    }
    m_nRTU = rtu;
    m_nWPID = *wpid;
    accept();
}
