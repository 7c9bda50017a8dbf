#include "plugin/Config.h"

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/IniFile.h"
#include "platform/TextNumber.h"
#include "storage/WPSettings.h"

namespace {

// A text setting holds at most 199 characters.
constexpr size_t kMaxText = 199;

// A count must read as a whole number; anything else stores 0, which its user
// takes as "not set".
enum class Kind { Switch, Integer, Count, Text };

struct Key {
    const char* section;
    const char* key;
    Kind kind;
    const char* defaultValue;  // null: the working directory
    bool CWPSettings::*flag;
    int CWPSettings::*number;
    std::string CWPSettings::*text;
};

// The eleven keys in the order they are read and written.
const Key kKeys[] = {
    {"ERRORDATA", "SAVEDATA", Kind::Switch, "1", &CWPSettings::m_bSaveErrorData, nullptr, nullptr},
    {"DATABASE", "SOURCENAME", Kind::Text, ConfigFile::kDefaultSource, nullptr, nullptr,
     &CWPSettings::m_strSource},
    {"DATABASE", "PRENAME", Kind::Text, "", nullptr, nullptr, &CWPSettings::m_strPreName},
    {"DATABASE", "USER", Kind::Text, ConfigFile::kDefaultUser, nullptr, nullptr,
     &CWPSettings::m_strUser},
    {"DATABASE", "PASSWORD", Kind::Text, ConfigFile::kDefaultPassword, nullptr, nullptr,
     &CWPSettings::m_strPassword},
    {"DATABASE", "SAVEBKGDB", Kind::Switch, "1", &CWPSettings::m_bSaveBkgDB, nullptr, nullptr},
    {"DATABASE", "TYPE", Kind::Integer, "0", nullptr, &CWPSettings::m_nType, nullptr},
    {"LOCALDATA", "SAVEDATA", Kind::Switch, "1", &CWPSettings::m_bSaveLocal, nullptr, nullptr},
    {"LOCALDATA", "DATALEN", Kind::Count, "2", nullptr, &CWPSettings::m_nDataLen, nullptr},
    {"TXT", "PERMIT", Kind::Switch, "1", &CWPSettings::m_bPermit, nullptr, nullptr},
    {"TXT", "DIR", Kind::Text, nullptr, nullptr, nullptr, &CWPSettings::m_strDir},
};

// Decimal text to integer: optional sign and leading digits, clamped to the range of
// an int; anything else reads 0.
int ReadInteger(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void Apply(const Key& key, const std::string& text, CWPSettings& settings) {
    switch (key.kind) {
        case Kind::Switch:
            settings.*key.flag = ReadInteger(text) != 0;
            break;
        case Kind::Integer:
            settings.*key.number = ReadInteger(text);
            break;
        case Kind::Count:
            settings.*key.number = ReadWholeNumber(text).value_or(0);
            break;
        case Kind::Text:
            settings.*key.text = text.substr(0, kMaxText);
            break;
    }
}

std::string Render(const Key& key, const CWPSettings& settings) {
    switch (key.kind) {
        case Kind::Switch:
            return settings.*key.flag ? "1" : "0";
        case Kind::Integer:
        case Kind::Count:
            return std::to_string(settings.*key.number);
        case Kind::Text:
            break;
    }
    return settings.*key.text;
}

}  // namespace

void LoadConfig(CWPSettingsStore& store, const std::string& workingDir) {
    CWPSettings settings = *store.Get();
    for (const Key& key : kKeys) {
        const std::string defaultValue =
            key.defaultValue ? std::string(key.defaultValue) : workingDir;
        const std::string text =
            IniFile::GetString(kConfigFile, key.section, key.key, defaultValue);
        // An empty text keeps the value the setting had.
        if (!text.empty()) Apply(key, text, settings);
    }
    store.Replace(settings);
}

void SaveConfig(const CWPSettingsStore& store) {
    const auto settings = store.Get();
    std::vector<IniFile::IniEntry> entries;
    for (const Key& key : kKeys) entries.push_back({key.section, key.key, Render(key, *settings)});
    IniFile::WriteStrings(kConfigFile, entries);
}
