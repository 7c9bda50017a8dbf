#include "ui/WorkParamDlg.h"

#include <QFileDialog>
#include <QHeaderView>
#include <cstdlib>

#include "hostlib/VktBase.h"
#include "hostlib/widgets/ListSel.h"
#include "platform/TextNumber.h"
#include "ui/AssignDlg.h"
#include "ui/DialogLook.h"
#include "ui/DrawnProgressBar.h"
#include "ui_WorkParamDlg.h"

namespace {

constexpr int kNameColumn = 0;
constexpr int kRtuColumn = 1;
constexpr int kWpidColumn = 2;

// A cell as a decimal number; a text that is none reads 0.
int32_t CellNumber(const QTableWidget& list, int row, int column) {
    const QTableWidgetItem* item = list.item(row, column);
    return item ? std::atoi(item->text().toStdString().c_str()) : 0;
}

}  // namespace

CWorkParamDlg::CWorkParamDlg(CStoredAssignments stored, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CWorkParamDlg>()), m_stored(std::move(stored)) {
    m_ui->setupUi(this);
    ApplyDialogLook(*this, 9, kDialogUnits);
    m_showMessage = [this](const QString& text) { ShowDialogMessage(this, text); };
    m_chooseDirectory = [this] {
        return QFileDialog::getExistingDirectory(this, QString::fromUtf8("选择路径"));
    };
    m_runAssignDlg = [this](bool modify, int32_t& rtu, int32_t& wpid) {
        CAssignDlg dialog(modify, rtu, wpid, m_mapEdit, this);
        if (dialog.exec() != QDialog::Accepted) return false;
        rtu = dialog.m_nRTU;
        wpid = dialog.m_nWPID;
        return true;
    };
    QTableWidget& list = *m_ui->assignmentList;
    list.setColumnCount(3);
    list.setHorizontalHeaderLabels({QString::fromUtf8("测站名称"), QString::fromUtf8("系统站号"),
                                    QString::fromUtf8("风电输出站号")});
    list.horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list.verticalHeader()->hide();
    list.setShowGrid(true);
    list.setSelectionBehavior(QAbstractItemView::SelectRows);
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    list.setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Three columns of a third of the width each.
    for (int column = 0; column < 3; ++column) {
        list.horizontalHeader()->setSectionResizeMode(column, QHeaderView::Stretch);
    }
    m_ui->passwordEdit->setEchoMode(QLineEdit::Normal);  // shown as typed
    LoadRows();
    connect(m_ui->okButton, &QPushButton::clicked, this, &CWorkParamDlg::OnOK);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ui->addButton, &QPushButton::clicked, this, &CWorkParamDlg::OnAdd);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &CWorkParamDlg::OnDelete);
    connect(m_ui->changeButton, &QPushButton::clicked, this, &CWorkParamDlg::OnChange);
    connect(m_ui->chooseDirButton, &QPushButton::clicked, this, &CWorkParamDlg::OnChooseDirectory);
}

CWorkParamDlg::~CWorkParamDlg() = default;

void CWorkParamDlg::LoadFields() {
    m_ui->sourceEdit->setText(m_strSource);
    m_ui->userEdit->setText(m_strUser);
    m_ui->passwordEdit->setText(m_strPassword);
    m_ui->prefixEdit->setText(m_strPrefix);
    m_ui->errorDataCheck->setChecked(m_bErrorData);
    m_ui->saveLocalCheck->setChecked(m_bSaveLocal);
    m_ui->yearsEdit->setText(QString::number(m_nYears));
    m_ui->saveBackendCheck->setChecked(m_bSaveBackend);
    m_ui->standardRadio->setChecked(m_nType == 0);
    m_ui->gansuRadio->setChecked(m_nType == 1);
    m_ui->txtFileCheck->setChecked(m_bTxtFile);
    m_ui->txtDirEdit->setText(m_strTxtDir);
}

bool CWorkParamDlg::StoreFields() {
    const auto years = ReadWholeNumber(m_ui->yearsEdit->text().trimmed().toStdString());
    if (!years || *years < 0) {
        m_showMessage(QString::fromUtf8(kYearsNotAnInteger));
        m_ui->yearsEdit->setFocus();
        return false;
    }
    m_nYears = *years;
    m_strSource = m_ui->sourceEdit->text();
    m_strUser = m_ui->userEdit->text();
    m_strPassword = m_ui->passwordEdit->text();
    m_strPrefix = m_ui->prefixEdit->text();
    m_bErrorData = m_ui->errorDataCheck->isChecked();
    m_bSaveLocal = m_ui->saveLocalCheck->isChecked();
    m_bSaveBackend = m_ui->saveBackendCheck->isChecked();
    m_nType = m_ui->standardRadio->isChecked() ? 0 : m_ui->gansuRadio->isChecked() ? 1 : -1;
    m_bTxtFile = m_ui->txtFileCheck->isChecked();
    m_strTxtDir = m_ui->txtDirEdit->text();
    return true;
}

void CWorkParamDlg::AddRow(int row, const QString& name, const QString& rtu, const QString& wpid) {
    QTableWidget& list = *m_ui->assignmentList;
    list.insertRow(row);
    list.setItem(row, kNameColumn, new QTableWidgetItem(name));
    list.setItem(row, kRtuColumn, new QTableWidgetItem(rtu));
    list.setItem(row, kWpidColumn, new QTableWidgetItem(wpid));
}

void CWorkParamDlg::LoadRows() {
    for (const auto& [rtu, wpid] : m_stored.load()) {
        const std::unique_ptr<CRTUDef> def = CRTUDefRT::GetRTUDefRT(rtu);
        if (!def) continue;  // an RTU the host no longer has gets no row
        AddRow(m_ui->assignmentList->rowCount(), QString::fromStdString(def->m_strName),
               QString::number(rtu), QString::number(wpid));
        m_mapEdit[rtu] = wpid;
    }
}

void CWorkParamDlg::OnAdd() {
    int32_t rtu = 0, wpid = 0;
    if (!m_runAssignDlg(false, rtu, wpid)) return;
    const std::unique_ptr<CRTUDef> def = CRTUDefRT::GetRTUDefRT(rtu);
    if (!def) return;
    AddRow(m_ui->assignmentList->rowCount(), QString::fromStdString(def->m_strName),
           QString::number(rtu), QString::number(wpid));
    m_mapEdit[rtu] = wpid;
}

void CWorkParamDlg::OnChange() {
    const int row = GetListSel(*m_ui->assignmentList);
    if (row < 0) {
        m_showMessage(QString::fromUtf8(kSelectRow));
        return;
    }
    int32_t rtu = CellNumber(*m_ui->assignmentList, row, kRtuColumn);
    int32_t wpid = CellNumber(*m_ui->assignmentList, row, kWpidColumn);
    if (!m_runAssignDlg(true, rtu, wpid)) return;
    if (m_mapEdit.count(rtu)) m_mapEdit[rtu] = wpid;
    m_ui->assignmentList->item(row, kWpidColumn)->setText(QString::number(wpid));
}

void CWorkParamDlg::OnDelete() {
    QTableWidget& list = *m_ui->assignmentList;
    for (int row = 0; row < list.rowCount();) {
        if (!list.item(row, kNameColumn) || !list.item(row, kNameColumn)->isSelected()) {
            ++row;
            continue;
        }
        m_mapEdit.erase(CellNumber(list, row, kRtuColumn));
        list.removeRow(row);  // the rows below move up: the same position again
    }
}

void CWorkParamDlg::OnChooseDirectory() {
    const QString chosen = m_chooseDirectory();
    if (chosen.isEmpty()) return;
    // Only the folder changes: the operator's other unsaved edits stay in their controls.
    m_ui->txtDirEdit->setText(chosen);
}

void CWorkParamDlg::OnOK() {
    // Every field first: a refused one must leave the stored assignments as they were.
    if (!StoreFields()) return;
    std::vector<std::pair<int32_t, int32_t>> rows;
    const QTableWidget& list = *m_ui->assignmentList;
    for (int row = 0; row < list.rowCount(); ++row) {
        rows.emplace_back(CellNumber(list, row, kRtuColumn), CellNumber(list, row, kWpidColumn));
    }
    m_stored.save(rows);
    accept();
}
