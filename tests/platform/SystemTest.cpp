// What differs between the systems, checked the same way on each.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/ErrorLog.h"
#include "platform/System.h"
#include "tests/support/TestHost.h"

namespace {

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.empty()); }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::string Path(const char* name) const { return m_dir + "/" + name; }
    void Put(const char* name, const char* text) const {
        std::ofstream(Path(name), std::ios::binary) << text;
    }

    const std::string m_dir = System::MakeTemporaryDirectory("vkt-system-");
};

// Replacing and copying over a file that is there, and what tells files apart.
TEST_F(SystemTest, FilesAreReplacedAndCopiedOverAndKnownByIdentity) {
    Put("a", "new");
    Put("b", "old");
    const auto identityOfA = System::IdentityOf(Path("a"));
    const auto identityOfB = System::IdentityOf(Path("b"));
    ASSERT_TRUE(identityOfA && identityOfB);
    EXPECT_NE(*identityOfA, *identityOfB);

    ASSERT_TRUE(System::MoveOver(Path("a"), Path("b")));
    EXPECT_EQ(ReadWholeFile(Path("b")), "new");
    EXPECT_FALSE(std::filesystem::exists(Path("a")));
    EXPECT_EQ(*System::IdentityOf(Path("b")), *identityOfA) << "the same file, renamed";

    Put("c", "copied");
    ASSERT_TRUE(System::CopyFileOver(Path("c"), Path("b")));
    EXPECT_EQ(ReadWholeFile(Path("b")), "copied");

    EXPECT_FALSE(System::IdentityOf(Path("missing")));
    EXPECT_FALSE(System::MoveOver(Path("missing"), Path("b")));
    EXPECT_FALSE(System::RemoveFile(Path("missing")));
    ASSERT_TRUE(System::MakeDirectory(Path("folder")));
    EXPECT_FALSE(System::RemoveFile(Path("folder"))) << "never a folder";
    EXPECT_NE(System::MakeTemporaryDirectory("vkt-system-"), m_dir);
}

TEST_F(SystemTest, TheCurrentDirectoryFollowsAChange) {
    const std::string before = System::CurrentDirectory();
    ASSERT_TRUE(System::ChangeDirectory(m_dir));
    EXPECT_TRUE(std::filesystem::equivalent(System::CurrentDirectory(), m_dir));
    EXPECT_EQ(System::CurrentDirectory().find('\\'), std::string::npos);
    EXPECT_FALSE(System::ChangeDirectory(Path("missing")));
    ASSERT_TRUE(System::ChangeDirectory(before));
}

// The plug-in is loaded by its file and its functions found by their plain names; the
// base library is known as the file that holds its code.
TEST_F(SystemTest, LibrariesAreLoadedByFileAndTheirFunctionsByName) {
    const std::string base = System::ModulePath(reinterpret_cast<const void*>(&System::LocalTime));
    EXPECT_NE(base.find(System::LibraryFileName("vktbase")), std::string::npos) << base;

    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    const std::string before = System::CurrentDirectory();
    ASSERT_TRUE(System::ChangeDirectory(m_dir));  // loading makes WPData/ here
    System::DynamicLibrary library;
    std::string error;
    ASSERT_TRUE(library.Open(plugin, error)) << error;
    EXPECT_NE(library.Symbol("VKTLibExit"), nullptr);
    EXPECT_EQ(library.Symbol("ConfigDSN"), nullptr);
    library.Close();
    EXPECT_FALSE(library.IsOpen());
    EXPECT_FALSE(library.Open(Path(System::LibraryFileName("missing").c_str()), error));
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(System::ChangeDirectory(before));
}

// The error log moves aside once full: the newest generations stay, the oldest goes,
// and the entry that found it full starts the new file.
TEST_F(SystemTest, AFullErrorLogIsRotatedKeepingAFewGenerations) {
    const std::string previous = System::CurrentDirectory();
    ASSERT_TRUE(System::ChangeDirectory(m_dir));
    const std::string log = ErrorLog::FileName();
    std::ofstream(Path(log.c_str()), std::ios::binary) << std::string(ErrorLog::kCapBytes, 'a');
    for (int n = 1; n <= ErrorLog::kGenerations; ++n) {
        std::ofstream(Path((log + "." + std::to_string(n)).c_str())) << n;
    }
    ErrorLog::Append("first of the new file");
    ErrorLog::Append("second");
    System::ChangeDirectory(previous);
    EXPECT_EQ(std::filesystem::file_size(Path((log + ".1").c_str())), ErrorLog::kCapBytes);
    for (int n = 2; n <= ErrorLog::kGenerations; ++n) {
        EXPECT_EQ(ReadWholeFile(Path((log + "." + std::to_string(n)).c_str())),
                  std::to_string(n - 1));
    }
    EXPECT_FALSE(std::filesystem::exists(
        Path((log + "." + std::to_string(ErrorLog::kGenerations + 1)).c_str())));
    const std::string current = ReadWholeFile(Path(log.c_str()));
    EXPECT_NE(current.find("first of the new file\n"), std::string::npos) << current;
    EXPECT_NE(current.find("second\n"), std::string::npos) << current;
}

}  // namespace
