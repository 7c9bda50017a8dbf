#include "platform/IniFile.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace IniFile {

namespace {

void Load(CSimpleIniA& ini, const std::string& file) {
    ini.SetUnicode(false);
    ini.SetMultiKey(false);
    ini.SetSpaces(false);
    ini.LoadFile(file.c_str());  // a missing file leaves the document empty
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
    CSimpleIniA ini;
    Load(ini, file);
    ini.SetValue(section, key, value.c_str());
    return ini.SaveFile(file.c_str(), false) >= 0;
}

}  // namespace IniFile
