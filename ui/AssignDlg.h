#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace Ui {
class CAssignDlg;
}

// The station assignment dialog: the operator picks an RTU of the host and types the
// output station number (WPID) it is to have. In add mode an RTU that already has a
// row in the calling dialog is refused; in change mode the RTU is fixed.
class CAssignDlg : public QDialog {
    Q_OBJECT

public:
    // The template's size, in dialog units of its font.
    static constexpr QSize kDialogUnits{195, 47};
    static constexpr const char* kDuplicate = "该遥测站对应关系定义已存在，请选择另外的站点";
    static constexpr const char* kNotAnInteger = "请输入一个整数。";

    // `map` (the calling dialog's rows: RTU number → WPID) outlives the dialog.
    CAssignDlg(bool modify, int32_t rtu, int32_t wpid, const std::map<int32_t, int32_t>& map,
               QWidget* parent = nullptr);
    ~CAssignDlg() override;

    // How a complaint is shown; a message box unless replaced (tests).
    std::function<void(const QString&)> m_showMessage;

    int32_t m_nWPID = 0;  // the output station number, after 确认
    int32_t m_nRTU = 0;   // the chosen RTU, after 确认
    const bool m_bModify;

private:
    void OnOK();

    std::unique_ptr<Ui::CAssignDlg> m_ui;
    const std::map<int32_t, int32_t>& m_map;
};
