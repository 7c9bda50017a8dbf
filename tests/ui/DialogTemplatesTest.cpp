// What the four dialog templates share: their size in dialog units of their font, and
// the host's push button where the templates bind it.
#include <gtest/gtest.h>

#include <QDateTimeEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

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

// A complaint is a message box over its dialog with the text and an OK button: no icon
// and no title that the dialog's texts do not give.
TEST(DialogTemplatesTest, ComplaintsAreMessageBoxesWithTheirTextAndOkOnly) {
    TestApplication();
    TestHost host;
    std::map<int32_t, int32_t> rowOfRtu1{{1, 7}};
    const struct {
        const char* name;
        std::function<std::unique_ptr<QWidget>()> make;
        int button;
        const char* text;
    } cases[] = {
        {"4000 change without a row",
         [] { return std::make_unique<CWorkParamDlg>(StoredAssignments()); }, 5,
         CWorkParamDlg::kSelectRow},
        {"4001 an RTU with a row",
         [&] { return std::make_unique<CAssignDlg>(false, 0, 0, rowOfRtu1); }, 1,
         CAssignDlg::kDuplicate},
        {"4002 equal times",
         [] {
             auto dialog = std::make_unique<COutLocalDataDlg>(nullptr, nullptr);
             ControlById<QDateTimeEdit>(*dialog, 1135)
                 ->setDateTime(ControlById<QDateTimeEdit>(*dialog, 1142)->dateTime());
             return dialog;
         },
         1, COutLocalDataDlg::kTimesReversed},
    };
    for (const auto& c : cases) {
        const std::unique_ptr<QWidget> dialog = c.make();
        dialog->show();
        QMessageBox* seen = nullptr;
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::Critical;
        QMessageBox::StandardButtons buttons;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            seen = qobject_cast<QMessageBox*>(modal);
            if (seen) {
                text = seen->text();
                title = seen->windowTitle();
                icon = seen->icon();
                buttons = seen->standardButtons();
                EXPECT_EQ(seen->parentWidget(), dialog.get()) << c.name;
            }
            if (modal) modal->close();
        });
        ControlById<QPushButton>(*dialog, c.button)->click();
        ASSERT_NE(seen, nullptr) << c.name;
        EXPECT_EQ(text, QString::fromUtf8(c.text)) << c.name;
        EXPECT_EQ(title, QString()) << c.name;
        EXPECT_EQ(icon, QMessageBox::NoIcon) << c.name;
        EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok)) << c.name;
    }
}

}  // namespace
