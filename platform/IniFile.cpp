#include "platform/IniFile.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <fstream>

namespace IniFile {

namespace {

// The file's text with every section line closed by its bracket.
std::string ReadClosed(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
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

void Load(CSimpleIniA& ini, const std::string& file) {
    ini.SetUnicode(false);
    ini.SetMultiKey(false);
    ini.SetSpaces(false);
    const std::string text = ReadClosed(file);  // a missing file leaves the document empty
    ini.LoadData(text.data(), text.size());
}

}  // namespace

std::string GetString(const std::string& file, const char* section, const char* key,
                      const std::string& defaultValue) {
    CSimpleIniA ini;
    Load(ini, file);
    const char* value = ini.GetValue(section, key, nullptr);
    return value ? std::string(value) : defaultValue;
}

bool WriteString(const std::string& file, const char* section, const char* key,
                 const std::string& value) {
    return WriteStrings(file, {{section, key, value}});
}

bool WriteStrings(const std::string& file, const std::vector<IniEntry>& entries) {
    CSimpleIniA ini;
    Load(ini, file);
    for (const IniEntry& entry : entries) {
        ini.SetValue(entry.section, entry.key, entry.value.c_str());
    }
    return ini.SaveFile(file.c_str(), false) >= 0;
}

}  // namespace IniFile
