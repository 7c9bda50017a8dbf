#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/IniFile.h"
#include "tests/support/TestHost.h"

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class IniFileTest : public ::testing::Test {
protected:
    TestHost m_host;
    const std::string m_file = "./Test.ini";
};

}  // namespace

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "USER", "fd"), "fd");
    EXPECT_EQ(IniFile::GetString("./no/such/dir/x.ini", "DATABASE", "USER", ""), "");
    EXPECT_FALSE(std::filesystem::exists(m_file)) << "a read must not create the file";

    WriteFile(m_file, "[DATABASE]\nUSER=abc\n");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "PASSWORD", "wendol"), "wendol");
    EXPECT_EQ(IniFile::GetString(m_file, "TXT", "USER", "none"), "none");
}

TEST_F(IniFileTest, EmptyValueIsReadAsEmptyNotAsTheDefault) {
    WriteFile(m_file, "[DATABASE]\nUSER=\nPRENAME=\n");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "USER", "fd"), "");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "PRENAME", "x"), "");
}

TEST_F(IniFileTest, WriteCreatesTheFileWithKeyEqualsValueLines) {
    ASSERT_TRUE(IniFile::WriteString(m_file, "DATABASE", "USER", "fd"));
    ASSERT_TRUE(IniFile::WriteString(m_file, "DATABASE", "PASSWORD", "wendol"));
    ASSERT_TRUE(IniFile::WriteString(m_file, "TXT", "DIR", "/data/iso dir"));
    ASSERT_TRUE(IniFile::WriteString(m_file, "DATABASE", "PRENAME", ""));

    const std::string text = ReadWholeFile(m_file);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF") << "no byte-order mark";
    const std::vector<std::string> lines = Lines(text);
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("[DATABASE]")) << text;
    EXPECT_TRUE(has("USER=fd")) << text;
    EXPECT_TRUE(has("PASSWORD=wendol")) << text;
    EXPECT_TRUE(has("[TXT]")) << text;
    EXPECT_TRUE(has("DIR=/data/iso dir")) << text;
    EXPECT_TRUE(has("PRENAME=")) << text;
    EXPECT_EQ(text.find(" ="), std::string::npos) << text;
    EXPECT_EQ(text.find("= "), std::string::npos) << text;
    EXPECT_EQ(Occurrences(text, "[DATABASE]"), 1) << text;

    EXPECT_EQ(IniFile::GetString(m_file, "TXT", "DIR", ""), "/data/iso dir");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "PRENAME", "x"), "");
}

TEST_F(IniFileTest, SectionsAndKeysIgnoreCase) {
    WriteFile(m_file, "[Database]\nUser=Abc\n");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "USER", ""), "Abc");
    EXPECT_EQ(IniFile::GetString(m_file, "database", "user", ""), "Abc");

    // Writing in other case updates the existing key rather than adding a second one.
    ASSERT_TRUE(IniFile::WriteString(m_file, "DATABASE", "USER", "xyz"));
    EXPECT_EQ(IniFile::GetString(m_file, "Database", "User", ""), "xyz");
    const std::string text = ReadWholeFile(m_file);
    EXPECT_EQ(Occurrences(text, "xyz"), 1) << text;
    EXPECT_EQ(text.find("Abc"), std::string::npos) << text;
    EXPECT_EQ(Occurrences(text, "["), 1) << text;
}

TEST_F(IniFileTest, SameKeyInTwoSectionsIsTwoSettings) {
    ASSERT_TRUE(IniFile::WriteString(m_file, "ERRORDATA", "SAVEDATA", "0"));
    ASSERT_TRUE(IniFile::WriteString(m_file, "LOCALDATA", "SAVEDATA", "1"));
    EXPECT_EQ(IniFile::GetString(m_file, "ERRORDATA", "SAVEDATA", ""), "0");
    EXPECT_EQ(IniFile::GetString(m_file, "LOCALDATA", "SAVEDATA", ""), "1");
    ASSERT_TRUE(IniFile::WriteString(m_file, "ERRORDATA", "SAVEDATA", "1"));
    EXPECT_EQ(IniFile::GetString(m_file, "LOCALDATA", "SAVEDATA", ""), "1");
    EXPECT_EQ(IniFile::GetString(m_file, "ERRORDATA", "SAVEDATA", ""), "1");
}

TEST_F(IniFileTest, RewriteKeepsOtherKeysSectionsAndComments) {
    WriteFile(m_file,
              "; working parameters\n"
              "[DATABASE]\n"
              "; the backend login\n"
              "USER=old\n"
              "EXTRA=keep me\n"
              "[OTHER]\n"
              "A=B\n");
    ASSERT_TRUE(IniFile::WriteString(m_file, "DATABASE", "USER", "new"));
    ASSERT_TRUE(IniFile::WriteString(m_file, "TXT", "PERMIT", "1"));

    const std::string text = ReadWholeFile(m_file);
    EXPECT_NE(text.find("; working parameters"), std::string::npos) << text;
    EXPECT_NE(text.find("; the backend login"), std::string::npos) << text;
    EXPECT_EQ(text.find("old"), std::string::npos) << text;
    EXPECT_EQ(Occurrences(text, "USER="), 1) << text;
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "USER", ""), "new");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "EXTRA", ""), "keep me");
    EXPECT_EQ(IniFile::GetString(m_file, "OTHER", "A", ""), "B");
    EXPECT_EQ(IniFile::GetString(m_file, "TXT", "PERMIT", ""), "1");
}

// A file edited on Windows has CR LF line ends and may have spaces around "=".
TEST_F(IniFileTest, ReadsWindowsLineEndsAndSpacesAroundTheEqualsSign) {
    WriteFile(m_file, "[DATABASE]\r\nUSER=fd\r\nSOURCENAME = DAVAD \r\n[TXT]\r\nDIR=C\r\n");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "USER", ""), "fd");
    EXPECT_EQ(IniFile::GetString(m_file, "DATABASE", "SOURCENAME", ""), "DAVAD");
    EXPECT_EQ(IniFile::GetString(m_file, "TXT", "DIR", ""), "C");
}

TEST_F(IniFileTest, ValuesKeepUtf8Text) {
    ASSERT_TRUE(IniFile::WriteString(m_file, "TXT", "DIR", "/数据/风电"));
    EXPECT_EQ(IniFile::GetString(m_file, "TXT", "DIR", ""), "/数据/风电");
}

TEST_F(IniFileTest, WriteIntoAMissingDirectoryFails) {
    EXPECT_FALSE(IniFile::WriteString("./no/such/dir/x.ini", "DATABASE", "USER", "fd"));
}
