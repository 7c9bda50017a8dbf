#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace Ui {
class CWorkParamDlg;
}

// The stored station assignments as (RTU number, WPID) pairs, as the dialog reads them
// when it opens (ascending RTU number) and replaces them all on 确认.
struct CStoredAssignments {
    std::function<std::vector<std::pair<int32_t, int32_t>>()> load;
    std::function<void(const std::vector<std::pair<int32_t, int32_t>>&)> save;
};

// The working-parameters dialog: the station assignments as a list with add, delete
// and change, and the backend, station database and isolation-file parameters. The
// caller fills the fields before showing it and reads them back after 确认; the
// assignments are stored by the dialog itself on 确认, after every field checked.
class CWorkParamDlg : public QDialog {
    Q_OBJECT

public:
    // The template's size, in dialog units of its font.
    static constexpr QSize kDialogUnits{396, 325};
    static constexpr const char* kSelectRow = "请选择需要修改的RTU";
    static constexpr const char* kYearsNotAnInteger = "请输入一个整数。";

    explicit CWorkParamDlg(CStoredAssignments stored, QWidget* parent = nullptr);
    ~CWorkParamDlg() override;

    // Moves the fields into the controls; call after setting them, before showing.
    void LoadFields();

    // How a complaint is shown and a folder chosen; dialogs unless replaced (tests).
    std::function<void(const QString&)> m_showMessage;
    std::function<QString()> m_chooseDirectory;  // empty: cancelled
    // How the assignment dialog is run: its result, RTU and WPID.
    std::function<bool(bool modify, int32_t& rtu, int32_t& wpid)> m_runAssignDlg;

    QString m_strSource, m_strUser, m_strPassword, m_strPrefix, m_strTxtDir;
    bool m_bErrorData = false;
    bool m_bSaveLocal = false;
    int m_nYears = 0;
    bool m_bSaveBackend = true;
    int m_nType = -1;  // radio index, -1 none
    bool m_bTxtFile = false;
    std::map<int32_t, int32_t> m_mapEdit;  // one entry per row on show

private:
    void LoadRows();
    void AddRow(int row, const QString& name, const QString& rtu, const QString& wpid);
    void OnAdd();
    void OnDelete();
    void OnChange();
    void OnChooseDirectory();
    void OnOK();
    // Moves the controls into the fields; false (with the message) when one is refused.
    bool StoreFields();

    std::unique_ptr<Ui::CWorkParamDlg> m_ui;
    CStoredAssignments m_stored;
};
