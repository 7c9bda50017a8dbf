#include "plugin/Config.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "platform/IniFile.h"
#include "platform/TextNumber.h"
#include "storage/WPSettings.h"

namespace {

// How a value is read into its setting. A count must read as a whole number; anything
// else stores 0, which its user takes as "not set".
enum class Kind { Switch, Integer, Count, Text };

struct Key {
    const ConfigFile::Key& file;
    Kind kind;
    bool CWPSettings::*flag;
    int CWPSettings::*number;
    std::string CWPSettings::*text;
};

constexpr const ConfigFile::Key* kFile = ConfigFile::kKeys;

// The eleven keys of the file, each with the setting it fills.
const Key kKeys[] = {
    {kFile[0], Kind::Switch, &CWPSettings::m_bSaveErrorData, nullptr, nullptr},
    {kFile[1], Kind::Text, nullptr, nullptr, &CWPSettings::m_strSource},
    {kFile[2], Kind::Text, nullptr, nullptr, &CWPSettings::m_strPreName},
    {kFile[3], Kind::Text, nullptr, nullptr, &CWPSettings::m_strUser},
    {kFile[4], Kind::Text, nullptr, nullptr, &CWPSettings::m_strPassword},
    {kFile[5], Kind::Switch, &CWPSettings::m_bSaveBkgDB, nullptr, nullptr},
    {kFile[6], Kind::Integer, nullptr, &CWPSettings::m_nType, nullptr},
    {kFile[7], Kind::Switch, &CWPSettings::m_bSaveLocal, nullptr, nullptr},
    {kFile[8], Kind::Count, nullptr, &CWPSettings::m_nDataLen, nullptr},
    {kFile[9], Kind::Switch, &CWPSettings::m_bPermit, nullptr, nullptr},
    {kFile[10], Kind::Text, nullptr, nullptr, &CWPSettings::m_strDir},
};
static_assert(std::size(kKeys) == std::size(ConfigFile::kKeys));

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
            settings.*key.text = text.substr(0, ConfigFile::kMaxText);
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
            key.file.defaultValue ? std::string(key.file.defaultValue) : workingDir;
        const std::string text =
            IniFile::GetString(kConfigFile, key.file.section, key.file.key, defaultValue);
        // An empty text keeps the value the setting had.
        if (!text.empty()) Apply(key, text, settings);
    }
    store.Replace(settings);
}

void SaveConfig(const CWPSettingsStore& store, const std::string& workingDir) {
    const auto settings = store.Get();
    std::vector<IniFile::IniEntry> entries;
    for (const Key& key : kKeys) {
        std::string value = Render(key, *settings);
        // The working directory is the key's default: saved empty, so that a copy of
        // the host directory writes its own files, not those of the original.
        if (!key.file.defaultValue && !workingDir.empty() && value == workingDir) value.clear();
        entries.push_back({key.file.section, key.file.key, value});
    }
    // It holds the backend's password: a file made here is its owner's alone.
    std::error_code ec;
    IniFile::WriteStrings(kConfigFile, entries,
                          std::filesystem::exists(kConfigFile, ec) ? -1 : 0600);
}

std::vector<std::string> ChangedKeys(const CWPSettings& before, const CWPSettings& after) {
    std::vector<std::string> changed;
    for (const Key& key : kKeys) {
        if (Render(key, before) != Render(key, after)) {
            changed.push_back(std::string(key.file.section) + "." + key.file.key);
        }
    }
    return changed;
}
