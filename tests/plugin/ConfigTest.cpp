#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/IniFile.h"
#include "platform/System.h"
#include "plugin/Config.h"
#include "plugin/PluginState.h"
#include "storage/WPSettings.h"
#include "tests/support/TestHost.h"

namespace {

constexpr const char* kIni = "WPDB.ini";

// The settings the cases load into and save from.
CWPSettingsStore& Store() {
    static CWPSettingsStore store;
    return store;
}

void WriteIni(const std::string& text) {
    std::ofstream out(kIni, std::ios::binary);
    out << text;
}

CWPSettings Current() {
    return *Store().Get();
}

CWPSettings LoadFrom(const std::string& text) {
    WriteIni(text);
    LoadConfig(Store(), PluginState::WorkingDirectory());
    return Current();
}

// The lines of a section of the written file, "KEY=value" each.
std::vector<std::string> SectionLines(const std::string& text, const std::string& section) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        if (inside && !line.empty() && line.front() != ';') lines.push_back(line);
    }
    return lines;
}

// Each case runs in a fresh host directory, with the settings as they are at library
// load and the working directory captured there.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        Store().Replace(CWPSettings{});
        PluginState::OnLoad();
    }
    void TearDown() override { Store().Replace(CWPSettings{}); }

    TestHost m_host;
};

}  // namespace

// --- Before loading ----------------------------------------------------------------

TEST_F(ConfigTest, ValuesBeforeLoading) {
    const CWPSettings s = Current();
    EXPECT_FALSE(s.m_bSaveErrorData);
    EXPECT_TRUE(s.m_bSaveBkgDB);
    EXPECT_TRUE(s.m_bSaveLocal);
    EXPECT_FALSE(s.m_bPermit);
    EXPECT_EQ(s.m_nType, 0);
    EXPECT_EQ(s.m_nDataLen, 0);
    EXPECT_EQ(s.m_strSource, "");
    EXPECT_EQ(s.m_strPreName, "");
    EXPECT_EQ(s.m_strUser, "");
    EXPECT_EQ(s.m_strPassword, "");
    EXPECT_EQ(s.m_strDir, "");
}

TEST_F(ConfigTest, WorkingDirectoryIsTheHostDirectory) {
    EXPECT_EQ(std::filesystem::canonical(PluginState::WorkingDirectory()),
              std::filesystem::canonical(m_host.Dir()));
}

// --- Loading -----------------------------------------------------------------------

TEST_F(ConfigTest, MissingFileGivesEveryDefault) {
    ASSERT_FALSE(std::filesystem::exists(kIni));
    LoadConfig(Store(), PluginState::WorkingDirectory());
    const CWPSettings s = Current();
    EXPECT_TRUE(s.m_bSaveErrorData);
    EXPECT_EQ(s.m_strSource, "DAVAD");
    EXPECT_EQ(s.m_strPreName, "");
    EXPECT_EQ(s.m_strUser, "fd");
    EXPECT_EQ(s.m_strPassword, "wendol");
    EXPECT_TRUE(s.m_bSaveBkgDB);
    EXPECT_EQ(s.m_nType, 0);
    EXPECT_TRUE(s.m_bSaveLocal);
    EXPECT_EQ(s.m_nDataLen, 2);
    EXPECT_TRUE(s.m_bPermit);
    EXPECT_EQ(s.m_strDir, PluginState::WorkingDirectory());
    EXPECT_FALSE(s.m_strDir.empty());
    EXPECT_FALSE(std::filesystem::exists(kIni)) << "loading must not create the file";
}

TEST_F(ConfigTest, EmptyFileGivesEveryDefault) {
    const CWPSettings s = LoadFrom("");
    EXPECT_EQ(s.m_strSource, "DAVAD");
    EXPECT_EQ(s.m_strUser, "fd");
    EXPECT_EQ(s.m_nDataLen, 2);
    EXPECT_TRUE(s.m_bPermit);
    EXPECT_TRUE(s.m_bSaveErrorData);
}

TEST_F(ConfigTest, ReadsEveryKeyFromTheFile) {
    const CWPSettings s = LoadFrom(
        "[ERRORDATA]\nSAVEDATA=0\n"
        "[DATABASE]\nSOURCENAME=WINDPG\nPRENAME=fdsch\nUSER=operator\nPASSWORD=p@ss word\n"
        "SAVEBKGDB=0\nTYPE=1\n"
        "[LOCALDATA]\nSAVEDATA=0\nDATALEN=5\n"
        "[TXT]\nPERMIT=0\nDIR=/srv/isolation\n");
    EXPECT_FALSE(s.m_bSaveErrorData);
    EXPECT_EQ(s.m_strSource, "WINDPG");
    EXPECT_EQ(s.m_strPreName, "fdsch");
    EXPECT_EQ(s.m_strUser, "operator");
    EXPECT_EQ(s.m_strPassword, "p@ss word");
    EXPECT_FALSE(s.m_bSaveBkgDB);
    EXPECT_EQ(s.m_nType, 1);
    EXPECT_FALSE(s.m_bSaveLocal);
    EXPECT_EQ(s.m_nDataLen, 5);
    EXPECT_FALSE(s.m_bPermit);
    EXPECT_EQ(s.m_strDir, "/srv/isolation");
}

TEST_F(ConfigTest, SwitchIsOnWhenItsDecimalValueIsNotZero) {
    struct Case {
        const char* text;
        bool on;
    } cases[] = {{"0", false}, {"abc", false}, {"5", true},    {"1", true},
                 {"-1", true}, {"00", false},  {"7abc", true}, {"0x1", false}};
    for (const Case& c : cases) {
        Store().Replace(CWPSettings{});
        const CWPSettings s = LoadFrom(std::string("[DATABASE]\nSAVEBKGDB=") + c.text + "\n");
        EXPECT_EQ(s.m_bSaveBkgDB, c.on) << "SAVEBKGDB=" << c.text;
    }
}

TEST_F(ConfigTest, IntegersReadAsDecimalAndAreNotRangeTested) {
    CWPSettings s = LoadFrom("[DATABASE]\nTYPE=2\n[LOCALDATA]\nDATALEN=10\n");
    EXPECT_EQ(s.m_nType, 2);
    EXPECT_EQ(s.m_nDataLen, 10);
    s = LoadFrom("[DATABASE]\nTYPE=abc\n[LOCALDATA]\nDATALEN=-3\n");
    EXPECT_EQ(s.m_nType, 0);
    EXPECT_EQ(s.m_nDataLen, -3);
    s = LoadFrom("[LOCALDATA]\nDATALEN=012\n");
    EXPECT_EQ(s.m_nDataLen, 12);  // decimal, not octal
}

// A retention that does not read as a whole number must never read as a number that
// cuts the station archive: it reads 0, which keeps every row.
TEST_F(ConfigTest, ADataLenThatIsNotAWholeNumberReadsZero) {
    const struct {
        const char* text;
        int years;
    } cases[] = {{"3", 3}, {"+4", 4}, {"-1", -1}, {"abc", 0}, {"5x", 0}, {"99999999999", 0}};
    for (const auto& c : cases) {
        Store().Replace(CWPSettings{});
        const CWPSettings s = LoadFrom(std::string("[LOCALDATA]\nDATALEN=") + c.text + "\n");
        EXPECT_EQ(s.m_nDataLen, c.years) << "DATALEN=" << c.text;
    }
    const CWPSettings s = LoadFrom("[DATABASE]\nTYPE=99999999999\n");
    EXPECT_EQ(s.m_nType, INT_MAX) << "clamped, not undefined";
}

// The two SAVEDATA keys are separate settings.
TEST_F(ConfigTest, SaveDataOfErrorDataAndLocalDataAreIndependent) {
    CWPSettings s = LoadFrom("[ERRORDATA]\nSAVEDATA=0\n[LOCALDATA]\nSAVEDATA=1\n");
    EXPECT_FALSE(s.m_bSaveErrorData);
    EXPECT_TRUE(s.m_bSaveLocal);
    Store().Replace(CWPSettings{});
    s = LoadFrom("[ERRORDATA]\nSAVEDATA=1\n[LOCALDATA]\nSAVEDATA=0\n");
    EXPECT_TRUE(s.m_bSaveErrorData);
    EXPECT_FALSE(s.m_bSaveLocal);
}

TEST_F(ConfigTest, SectionsAndKeysIgnoreCase) {
    const CWPSettings s = LoadFrom("[database]\nuser=abc\nSourceName=Dsn2\n[txt]\npermit=0\n");
    EXPECT_EQ(s.m_strUser, "abc");
    EXPECT_EQ(s.m_strSource, "Dsn2");
    EXPECT_FALSE(s.m_bPermit);
}

// --- The empty-value rule ----------------------------------------------------------

TEST_F(ConfigTest, EmptyPrenameKeepsPrenameEmpty) {
    const CWPSettings s = LoadFrom("[DATABASE]\nPRENAME=\n");
    EXPECT_EQ(s.m_strPreName, "");
}

TEST_F(ConfigTest, EmptyUserKeepsTheValueBeforeLoadingNotTheDefault) {
    CWPSettings s = LoadFrom("[DATABASE]\nUSER=\n");
    EXPECT_EQ(s.m_strUser, "");
    EXPECT_EQ(s.m_strPassword, "wendol");  // the other keys still take their defaults

    // The setting keeps whatever it held, not merely an empty text.
    CWPSettings held;
    held.m_strUser = "previous";
    Store().Replace(held);
    s = LoadFrom("[DATABASE]\nUSER=\n");
    EXPECT_EQ(s.m_strUser, "previous");
}

TEST_F(ConfigTest, EmptySwitchesAndIntegersKeepTheValueBeforeLoading) {
    // Before loading ERRORDATA SAVEDATA and PERMIT are off, DATALEN is 0: an empty key
    // keeps them so, while a missing key would give 1, 1 and 2.
    const CWPSettings s = LoadFrom(
        "[ERRORDATA]\nSAVEDATA=\n[LOCALDATA]\nDATALEN=\n[TXT]\nPERMIT=\nDIR=\n"
        "[DATABASE]\nSOURCENAME=\n");
    EXPECT_FALSE(s.m_bSaveErrorData);
    EXPECT_EQ(s.m_nDataLen, 0);
    EXPECT_FALSE(s.m_bPermit);
    EXPECT_EQ(s.m_strDir, "");
    EXPECT_EQ(s.m_strSource, "");
}

// --- Text length -------------------------------------------------------------------

TEST_F(ConfigTest, TextsAreCutTo199Characters) {
    const std::string longText(250, 'x');
    const std::string exact(199, 'y');
    const std::string longDir = "/" + std::string(240, 'd');
    const CWPSettings s =
        LoadFrom("[DATABASE]\nSOURCENAME=" + longText + "\nUSER=" + exact +
                 "\nPASSWORD=" + std::string(200, 'p') + "\n[TXT]\nDIR=" + longDir + "\n");
    EXPECT_EQ(s.m_strSource, std::string(199, 'x'));
    EXPECT_EQ(s.m_strUser, exact);
    EXPECT_EQ(s.m_strPassword, std::string(199, 'p'));
    EXPECT_EQ(s.m_strDir, longDir.substr(0, 199));
}

// --- Working directory -------------------------------------------------------------

// The file is looked for in the current directory at the time of loading, while the
// DIR default stays the directory captured when the library was loaded.
TEST_F(ConfigTest, FileIsReadFromTheCurrentDirectoryAndDirDefaultsToTheLoadDirectory) {
    const std::string loadDir = PluginState::WorkingDirectory();
    std::filesystem::create_directory("elsewhere");
    ASSERT_TRUE(System::ChangeDirectory("elsewhere"));
    WriteIni("[DATABASE]\nUSER=moved\n");
    LoadConfig(Store(), PluginState::WorkingDirectory());
    const CWPSettings s = Current();
    EXPECT_EQ(s.m_strUser, "moved");
    EXPECT_EQ(s.m_strDir, loadDir);
    ASSERT_TRUE(System::ChangeDirectory(m_host.Dir()));
}

// --- Saving ------------------------------------------------------------------------

// Every key is written in its section, and what is written loads back unchanged.
TEST_F(ConfigTest, SaveWritesAllElevenKeysAndTheyLoadBackUnchanged) {
    const auto fields = [](const CWPSettings& s) {
        return std::tie(s.m_bSaveErrorData, s.m_strSource, s.m_strPreName, s.m_strUser,
                        s.m_strPassword, s.m_bSaveBkgDB, s.m_nType, s.m_bSaveLocal, s.m_nDataLen,
                        s.m_bPermit, s.m_strDir);
    };
    const struct {
        CWPSettings settings;
        std::vector<std::string> errorData, database, localData, txt;
    } cases[] = {
        {{false, "DAVAD2", "", "fd", "wendol secret", true, 1, true, 3, false, "/srv/iso"},
         {"SAVEDATA=0"},
         {"SOURCENAME=DAVAD2", "PRENAME=", "USER=fd", "PASSWORD=wendol secret", "SAVEBKGDB=1",
          "TYPE=1"},
         {"SAVEDATA=1", "DATALEN=3"},
         {"PERMIT=0", "DIR=/srv/iso"}},
        {{true, "WINDPG", "fd", "operator", "pw=with;chars", false, 1, false, 7, true,
          "/srv/风电/iso"},
         {"SAVEDATA=1"},
         {"SOURCENAME=WINDPG", "PRENAME=fd", "USER=operator", "PASSWORD=pw=with;chars",
          "SAVEBKGDB=0", "TYPE=1"},
         {"SAVEDATA=0", "DATALEN=7"},
         {"PERMIT=1", "DIR=/srv/风电/iso"}},
    };
    for (const auto& c : cases) {
        Store().Replace(c.settings);
        SaveConfig(Store());
        const std::string text = ReadWholeFile(kIni);
        EXPECT_EQ(SectionLines(text, "ERRORDATA"), c.errorData) << text;
        EXPECT_EQ(SectionLines(text, "DATABASE"), c.database) << text;
        EXPECT_EQ(SectionLines(text, "LOCALDATA"), c.localData) << text;
        EXPECT_EQ(SectionLines(text, "TXT"), c.txt) << text;

        Store().Replace(CWPSettings{});
        LoadConfig(Store(), PluginState::WorkingDirectory());
        const CWPSettings loaded = Current();
        EXPECT_EQ(fields(loaded), fields(c.settings)) << text;
    }
    // The host directory itself is the default: saved empty, a copy's own folder.
    SaveConfig(Store(), Current().m_strDir);
    EXPECT_EQ(SectionLines(ReadWholeFile(kIni), "TXT"),
              (std::vector<std::string>{"PERMIT=1", "DIR="}));
}

// The file holds the backend's password: made by the plug-in it is its owner's alone; an
// operator's file keeps the mode it was given.
TEST_F(ConfigTest, SaveMakesTheFileItsOwnersAloneAndKeepsTheModeOfOneThere) {
    if (kOnWindows) GTEST_SKIP() << "no file modes on this system";
    namespace fs = std::filesystem;
    SaveConfig(Store());
    EXPECT_EQ(fs::status(kIni).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(kIni, fs::perms(0644));
    SaveConfig(Store());
    EXPECT_EQ(fs::status(kIni).permissions(), fs::perms(0644));
}

TEST_F(ConfigTest, SaveWritesSwitchesAsZeroOrOne) {
    CWPSettings s;
    s.m_bSaveErrorData = true;
    s.m_bSaveBkgDB = false;
    s.m_bSaveLocal = false;
    s.m_bPermit = true;
    s.m_nDataLen = -1;
    Store().Replace(s);
    SaveConfig(Store());
    EXPECT_EQ(IniFile::GetString(kIni, "ERRORDATA", "SAVEDATA", "?"), "1");
    EXPECT_EQ(IniFile::GetString(kIni, "DATABASE", "SAVEBKGDB", "?"), "0");
    EXPECT_EQ(IniFile::GetString(kIni, "LOCALDATA", "SAVEDATA", "?"), "0");
    EXPECT_EQ(IniFile::GetString(kIni, "TXT", "PERMIT", "?"), "1");
    EXPECT_EQ(IniFile::GetString(kIni, "LOCALDATA", "DATALEN", "?"), "-1");
    // Empty texts are written as keys with an empty value.
    EXPECT_EQ(IniFile::GetString(kIni, "DATABASE", "USER", "?"), "");
    EXPECT_EQ(IniFile::GetString(kIni, "TXT", "DIR", "?"), "");
}

TEST_F(ConfigTest, SaveKeepsOtherKeysAndSections) {
    WriteIni(
        "; edited by hand\n"
        "[DATABASE]\nUSER=old\nTIMEOUT=30\n"
        "[OTHER]\nNAME=kept\n");
    CWPSettings s;
    s.m_strUser = "new";
    Store().Replace(s);
    SaveConfig(Store());

    const std::string text = ReadWholeFile(kIni);
    EXPECT_NE(text.find("; edited by hand"), std::string::npos) << text;
    EXPECT_EQ(IniFile::GetString(kIni, "DATABASE", "TIMEOUT", ""), "30");
    EXPECT_EQ(IniFile::GetString(kIni, "OTHER", "NAME", ""), "kept");
    EXPECT_EQ(IniFile::GetString(kIni, "DATABASE", "USER", ""), "new");
    EXPECT_EQ(text.find("USER=old"), std::string::npos) << text;
}

// Saving again and again writes the same file: a section line without its bracket is
// read as that section, not as one that runs on into the next lines and grows.
TEST_F(ConfigTest, RepeatedSavesWriteTheSameFileAndKeepCommentsAndOtherKeys) {
    const char* const starts[] = {
        "; kept\n[DATABASE\nUSER=x\nOWNKEY=1\n[TXT]\nDIR=/d\n",
        "[DATABASE]\r\nUSER=x\r\n; kept\r\nOWNKEY=1\r\n",
    };
    for (const char* start : starts) {
        WriteIni(start);
        LoadConfig(Store(), PluginState::WorkingDirectory());
        SaveConfig(Store());
        const std::string first = ReadWholeFile(kIni);
        for (int i = 0; i < 3; ++i) SaveConfig(Store());
        EXPECT_EQ(ReadWholeFile(kIni), first) << start;
        EXPECT_NE(first.find("; kept"), std::string::npos) << first;
        EXPECT_EQ(IniFile::GetString(kIni, "DATABASE", "OWNKEY", "?"), "1") << first;
        EXPECT_EQ(IniFile::GetString(kIni, "DATABASE", "USER", "?"), "x") << first;
    }
}
