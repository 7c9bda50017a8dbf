// EditProperty and OutLocalData through the exports, with a Qt application present.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include "platform/IniFile.h"
#include "plugin/Config.h"
#include "plugin/Exports.h"
#include "plugin/PluginState.h"
#include "plugin/WPContext.h"
#include "storage/BackendWriterThread.h"
#include "storage/OutLocalDataThread.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestHost.h"

namespace {

// Presses the button with this control id of the modal dialog once it is up.
void PressWhenShown(int id) {
    QTimer::singleShot(50, [id] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        QPushButton* button = ControlById<QPushButton>(*dialog, id);
        ASSERT_NE(button, nullptr);
        button->click();
    });
}

SQLHDBC BackendConnection(CWPContext& context) {
    RecursiveMutexLock guard(context.m_stores.m_backend.BackendLock());
    return context.m_stores.m_backend.BackendConnection();
}

TEST(PluginDialogsTest, EditPropertyAppliesOnConfirmAndNothingOnExit) {
    TestApplication();
    TestHost host;
    PluginState::OnLoad();
    VKTLibInit();
    CWPContext& context = *PluginState::Context();
    // The writer's own connect at its start is over before the dialog closes the line.
    ASSERT_TRUE(WaitFor([&] { return context.m_pBackendWriter->HasProbed(); }));
    ASSERT_TRUE(context.m_stores.m_backend.TEST_ExecBackendSQL("DELETE FROM FD_RUN_RTTOWER"));
    const SQLHDBC open = BackendConnection(context);
    ASSERT_NE(open, nullptr);

    PressWhenShown(2);  // 退出
    EditProperty();
    EXPECT_FALSE(std::filesystem::exists(host.Path(kConfigFile))) << "nothing written";
    EXPECT_EQ(BackendConnection(context), open) << "the connection stays";

    PressWhenShown(1);  // 确认, nothing changed
    EditProperty();
    EXPECT_EQ(IniFile::GetString(kConfigFile, "DATABASE", "SOURCENAME", "?"), "DAVAD");
    EXPECT_EQ(IniFile::GetString(kConfigFile, "LOCALDATA", "DATALEN", "?"), "2");
    EXPECT_EQ(BackendConnection(context), nullptr) << "the next statement connects anew";
    EXPECT_TRUE(context.m_stores.m_backend.TEST_ExecBackendSQL("DELETE FROM FD_RUN_RTTOWER"));
    EXPECT_NE(BackendConnection(context), nullptr);

    PressWhenShown(2);  // the export dialog's 退出
    OutLocalData();
    EXPECT_FALSE(context.m_pExportThread->IsBusy());
    VKTLibExit();
}

}  // namespace
