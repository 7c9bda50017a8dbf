// The working-parameters and station assignment dialogs under the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include "plugin/Dialogs.h"
#include "storage/AssignmentStore.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestHost.h"
#include "ui/AssignDlg.h"
#include "ui/WorkParamDlg.h"

namespace {

std::vector<std::pair<int, int>> Stored() {
    CObList<CVKTTOWPID> list;
    LoadAssignments(list);
    std::vector<std::pair<int, int>> rows;
    for (const auto& record : list) rows.emplace_back(record->m_nRTUID, record->m_nWPID);
    return rows;
}

std::vector<QStringList> Rows(QWidget& dialog) {
    auto* list = ControlById<QTableWidget>(dialog, 1000);
    std::vector<QStringList> rows;
    for (int row = 0; row < list->rowCount(); ++row) {
        rows.push_back(
            {list->item(row, 0)->text(), list->item(row, 1)->text(), list->item(row, 2)->text()});
    }
    return rows;
}

// The demo host (RTUs 1, 2, 3, 12, 40) with assignments of 12, 3, 1 and of RTU 99,
// which the host does not define.
class ParamDialogsTest : public ::testing::Test {
public:
    void SetUp() override {
        TestApplication();
        EnsureAssignmentTable();
        SaveAssignments({{12, 900}, {3, 33}, {99, 5}, {1, 7}});
    }
    std::unique_ptr<CWorkParamDlg> Dialog() {
        auto dialog = std::make_unique<CWorkParamDlg>(StoredAssignments());
        dialog->m_showMessage = [this](const QString& text) { shown.push_back(text); };
        dialog->m_chooseDirectory = [] { return QString("/srv/isolation"); };
        dialog->LoadFields();  // as the plug-in fills it before showing it
        return dialog;
    }
    void Select(QWidget& dialog, std::initializer_list<int> rows) {
        auto* list = ControlById<QTableWidget>(dialog, 1000);
        list->clearSelection();
        for (int row : rows) {
            list->selectionModel()->select(list->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    TestHost host;
    std::vector<QString> shown;
};

TEST_F(ParamDialogsTest, StoredAssignmentsInRtuOrderWithoutUnknownRtus) {
    auto dialog = Dialog();
    EXPECT_EQ(dialog->windowTitle(), "风电数据接口工作参数");
    EXPECT_EQ(Rows(*dialog), (std::vector<QStringList>{
                                 {"T1", "1", "7"}, {"T3", "3", "33"}, {"T12", "12", "900"}}));
    EXPECT_EQ(dialog->m_mapEdit, (std::map<int32_t, int32_t>{{1, 7}, {3, 33}, {12, 900}}));
    EXPECT_EQ(ControlById<QLineEdit>(*dialog, 1007)->echoMode(), QLineEdit::Normal);
    for (QWidget* control :
         {static_cast<QWidget*>(dialog.get()), ControlById<QWidget>(*dialog, 1000)}) {
        EXPECT_EQ(control->palette().color(QPalette::Base), QColor(239, 239, 255))
            << "the plug-in colour";
    }
}

// The three headings sit at the left of their columns, as the rows' texts do.
TEST_F(ParamDialogsTest, TheListsHeadingsAreLeftAligned) {
    auto dialog = Dialog();
    auto* list = ControlById<QTableWidget>(*dialog, 1000);
    ASSERT_EQ(list->columnCount(), 3);
    for (int column = 0; column < 3; ++column) {
        const QVariant own =
            list->model()->headerData(column, Qt::Horizontal, Qt::TextAlignmentRole);
        const int alignment = own.isValid()
                                  ? own.toInt()
                                  : static_cast<int>(list->horizontalHeader()->defaultAlignment());
        EXPECT_EQ(alignment & Qt::AlignHorizontal_Mask, static_cast<int>(Qt::AlignLeft)) << column;
    }
}

TEST_F(ParamDialogsTest, AddChangeDeleteAndConfirmOrCancel) {
    const struct {
        const char* name;
        std::function<void(CWorkParamDlg&, ParamDialogsTest&)> edit;
        bool confirm;
        std::vector<std::pair<int, int>> stored;
    } cases[] = {
        {"add confirmed",
         [](CWorkParamDlg& d, ParamDialogsTest&) {
             d.m_runAssignDlg = [](bool, int32_t& rtu, int32_t& wpid) {
                 rtu = 2;
                 wpid = 25;
                 return true;
             };
             ControlById<QPushButton>(d, 3)->click();
             EXPECT_EQ(Rows(d).back(), (QStringList{"T2", "2", "25"}));
         },
         true,
         {{1, 7}, {2, 25}, {3, 33}, {12, 900}}},
        {"change confirmed",
         [](CWorkParamDlg& d, ParamDialogsTest& t) {
             d.m_runAssignDlg = [](bool modify, int32_t& rtu, int32_t& wpid) {
                 EXPECT_TRUE(modify);
                 EXPECT_EQ(rtu, 3);
                 wpid = 34;
                 return true;
             };
             t.Select(d, {1});
             ControlById<QPushButton>(d, 5)->click();
         },
         true,
         {{1, 7}, {3, 34}, {12, 900}}},
        {"change with rows picked bottom-up acts on the upper one",
         [](CWorkParamDlg& d, ParamDialogsTest& t) {
             d.m_runAssignDlg = [](bool, int32_t& rtu, int32_t& wpid) {
                 EXPECT_EQ(rtu, 3);
                 wpid = 35;
                 return true;
             };
             t.Select(d, {2, 1});
             ControlById<QPushButton>(d, 5)->click();
         },
         true,
         {{1, 7}, {3, 35}, {12, 900}}},
        {"two rows deleted",
         [](CWorkParamDlg& d, ParamDialogsTest& t) {
             t.Select(d, {0, 2});
             ControlById<QPushButton>(d, 4)->click();
             EXPECT_EQ(d.m_mapEdit, (std::map<int32_t, int32_t>{{3, 33}}));
         },
         true,
         {{3, 33}}},
        {"all deleted",
         [](CWorkParamDlg& d, ParamDialogsTest& t) {
             t.Select(d, {0, 1, 2});
             ControlById<QPushButton>(d, 4)->click();
         },
         true,
         {}},
        {"deleted, then cancelled",
         [](CWorkParamDlg& d, ParamDialogsTest& t) {
             t.Select(d, {0});
             ControlById<QPushButton>(d, 4)->click();
         },
         false,
         {{1, 7}, {3, 33}, {12, 900}, {99, 5}}},
    };
    for (const auto& c : cases) {
        SaveAssignments({{12, 900}, {3, 33}, {99, 5}, {1, 7}});
        auto dialog = Dialog();
        c.edit(*dialog, *this);
        ControlById<QPushButton>(*dialog, c.confirm ? 1 : 2)->click();
        EXPECT_EQ(Stored(), c.stored) << c.name;
    }
}

// 确认 checks every field before it stores anything: a refused years field leaves the
// table as it was and the dialog open.
TEST_F(ParamDialogsTest, ARefusedFieldStoresNothing) {
    for (const char* years : {"abc", "-1", "2.5", ""}) {
        auto dialog = Dialog();
        Select(*dialog, {0});
        ControlById<QPushButton>(*dialog, 4)->click();
        ControlById<QLineEdit>(*dialog, 4002)->setText(years);
        ControlById<QPushButton>(*dialog, 1)->click();
        EXPECT_EQ(dialog->result(), 0) << years;
        EXPECT_EQ(Stored().size(), 4u) << years;
    }
    EXPECT_EQ(shown.size(), 4u);
}

TEST_F(ParamDialogsTest, ChangeWithoutARowAndTheFolderKeepsOtherEdits) {
    auto dialog = Dialog();
    dialog->m_strSource = "DAVAD";
    dialog->m_nType = 1;
    dialog->LoadFields();
    ControlById<QPushButton>(*dialog, 5)->click();
    EXPECT_EQ(shown, std::vector<QString>{"请选择需要修改的RTU"});
    ControlById<QLineEdit>(*dialog, 1005)->setText("WINDPG");
    ControlById<QPushButton>(*dialog, 4008)->click();
    ControlById<QPushButton>(*dialog, 1)->click();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->m_strSource, "WINDPG") << "the unsaved edit survived";
    EXPECT_EQ(dialog->m_strTxtDir, "/srv/isolation");
    EXPECT_EQ(dialog->m_nType, 1);
}

TEST_F(ParamDialogsTest, TheAssignmentDialogOffersEveryRtuAndRefusesOnesWithARow) {
    std::map<int32_t, int32_t> rows{{1, 7}, {3, 33}};
    std::vector<QString> messages;
    const struct {
        bool modify;
        int32_t rtu;
        int entry;
        const char* wpid;
        bool accepted;
        const char* message;
    } cases[] = {
        {false, 0, 0, "8", false, "该遥测站对应关系定义已存在，请选择另外的站点"},  // RTU 1
        {false, 0, 1, "25", true, nullptr},                                         // RTU 2
        {false, 0, 1, "x", false, "请输入一个整数。"},
        {true, 3, -1, "-4", true, nullptr},  // change mode: no duplicate test
    };
    for (const auto& c : cases) {
        CAssignDlg dialog(c.modify, c.rtu, 0, rows);
        dialog.m_showMessage = [&](const QString& text) { messages.push_back(text); };
        auto* box = ControlById<QComboBox>(dialog, 1003);
        ASSERT_EQ(box->count(), 5);
        EXPECT_EQ(box->itemText(4), "RAIN40(40)") << "every RTU, in the host's order";
        EXPECT_EQ(box->isEnabled(), !c.modify);
        if (c.modify) {
            EXPECT_EQ(box->currentText(), "T3(3)");
        }
        if (c.entry >= 0) box->setCurrentIndex(c.entry);
        ControlById<QLineEdit>(dialog, 1002)->setText(c.wpid);
        messages.clear();
        ControlById<QPushButton>(dialog, 1)->click();
        EXPECT_EQ(dialog.result() == QDialog::Accepted, c.accepted) << c.wpid;
        if (c.message) {
            EXPECT_EQ(messages, std::vector<QString>{c.message});
        }
        if (c.accepted) {
            EXPECT_EQ(dialog.m_nWPID, std::atoi(c.wpid));
        }
    }
    rows.erase(1);  // the row of RTU 1 was deleted: its RTU is accepted again
    CAssignDlg again(false, 0, 0, rows);
    ControlById<QPushButton>(again, 1)->click();
    EXPECT_EQ(again.result(), QDialog::Accepted);
    EXPECT_EQ(again.m_nRTU, 1);
}

}  // namespace
