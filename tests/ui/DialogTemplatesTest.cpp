// What the four dialog templates share: their size in dialog units of their font, and
// the host's push button where the templates bind it.
#include <gtest/gtest.h>

#include <QPushButton>

#include "hostlib/widgets/XPButton.h"
#include "plugin/Dialogs.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestHost.h"
#include "ui/AssignDlg.h"
#include "ui/DialogLook.h"
#include "ui/OutLocalDataDlg.h"
#include "ui/ProgressDlg.h"
#include "ui/WorkParamDlg.h"

namespace {

struct Template {
    const char* name;
    std::function<std::unique_ptr<QWidget>()> make;
    QSize dialogUnits;
    std::vector<int> hostButtons;
    std::vector<int> plainButtons;
};

TEST(DialogTemplatesTest, SizedInDialogUnitsWithTheHostsButtons) {
    TestApplication();
    TestHost host;
    std::map<int32_t, int32_t> noRows;
    const Template templates[] = {
        {"4000",
         [] { return std::make_unique<CWorkParamDlg>(StoredAssignments()); },
         CWorkParamDlg::kDialogUnits,
         {1, 2, 3, 4, 5},
         {4008}},
        {"4001",
         [&] { return std::make_unique<CAssignDlg>(false, 0, 0, noRows); },
         CAssignDlg::kDialogUnits,
         {1, 2},
         {}},
        {"4002",
         [] { return std::make_unique<COutLocalDataDlg>(nullptr, nullptr); },
         COutLocalDataDlg::kDialogUnits,
         {1202, 1203, 1, 3, 2},
         {}},
        {"4003",
         [] { return std::make_unique<CProgressDlg>(nullptr); },
         CProgressDlg::kDialogUnits,
         {4005},
         {}},
    };
    for (const auto& t : templates) {
        const std::unique_ptr<QWidget> dialog = t.make();
        const QSize units = DialogUnitsToPixels(dialog->font(), t.dialogUnits);
        EXPECT_GE(dialog->width(), units.width()) << t.name;
        EXPECT_GE(dialog->height(), units.height()) << t.name;
        // Never more than the controls need beyond the template's size.
        EXPECT_EQ(dialog->size(), units.expandedTo(dialog->minimumSizeHint())) << t.name;
        for (int id : t.hostButtons) {
            EXPECT_NE(ControlById<CXPButton>(*dialog, id), nullptr) << t.name << " button " << id;
        }
        for (int id : t.plainButtons) {
            EXPECT_EQ(ControlById<CXPButton>(*dialog, id), nullptr) << t.name << " button " << id;
            EXPECT_NE(ControlById<QPushButton>(*dialog, id), nullptr) << t.name << " button " << id;
        }
    }
}

}  // namespace
