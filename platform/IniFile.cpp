#include "platform/IniFile.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <filesystem>
#include <fstream>

#include "platform/System.h"

namespace IniFile {

namespace {

// The text with every section line closed by its bracket.
std::string ReadClosed(std::istream& in) {
    std::string text, line;
    while (std::getline(in, line)) {
        const size_t first = line.find_first_not_of(" \t");
        const bool cr = !line.empty() && line.back() == '\r';
        if (cr) line.pop_back();
        if (first != std::string::npos && line[first] == '[' &&
            line.find(']', first) == std::string::npos) {
            line += ']';
        }
        text += line;
        text += cr ? "\r\n" : "\n";
    }
    return text;
}

void Load(CSimpleIniA& ini, const std::string& text) {
    ini.SetUnicode(false);
    ini.SetMultiKey(false);
    ini.SetSpaces(false);
    ini.LoadData(text.data(), text.size());
}

// A missing file leaves the document empty.
void LoadFile(CSimpleIniA& ini, const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    Load(ini, ReadClosed(in));
}

}  // namespace

std::string GetString(const std::string& file, const char* section, const char* key,
                      const std::string& defaultValue) {
    CSimpleIniA ini;
    LoadFile(ini, file);
    const char* value = ini.GetValue(section, key, nullptr);
    return value ? std::string(value) : defaultValue;
}

bool WriteString(const std::string& file, const char* section, const char* key,
                 const std::string& value) {
    return WriteStrings(file, {{section, key, value}});
}

bool TextWithStrings(const std::string& file, const std::vector<IniEntry>& entries,
                     std::string& text) {
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    if (!in && std::filesystem::exists(file, ec)) return false;
    CSimpleIniA ini;
    Load(ini, ReadClosed(in));
    if (in.bad()) return false;
    for (const IniEntry& entry : entries) {
        ini.SetValue(entry.section, entry.key, entry.value.c_str());
    }
    text.clear();
    return ini.Save(text, false) >= 0;
}

bool WriteStrings(const std::string& file, const std::vector<IniEntry>& entries, int mode) {
    std::string text;
    return TextWithStrings(file, entries, text) &&
           System::WriteFileWhole(file, text, nullptr, mode);
}

}  // namespace IniFile
