#include "storage/SpoolMark.h"

#include <cstdio>
#include <vector>

namespace SpoolMark {

bool Read(CSpoolFiles& files, const std::string& folder, SpoolPosition& mark) {
    auto file = files.OpenRead(folder + "/" + kFileName);
    if (!file) return false;
    std::vector<unsigned char> bytes;
    file->ReadAt(0, 64, bytes);
    const std::string text(bytes.begin(), bytes.end());
    unsigned long long segment = 0;
    long long offset = 0;
    if (std::sscanf(text.c_str(), "%llu %lld", &segment, &offset) != 2 || offset < 0) return false;
    mark = {segment, offset};
    return true;
}

bool Write(CSpoolFiles& files, const std::string& folder, const SpoolPosition& mark) {
    const std::string path = folder + "/" + kFileName;
    const std::string temporary = path + ".tmp";
    char text[64];
    std::snprintf(text, sizeof text, "%llu %lld\n", static_cast<unsigned long long>(mark.segment),
                  static_cast<long long>(mark.offset));
    return files.WriteSynced(temporary, text) && files.Rename(temporary, path) &&
           files.SyncFolder(folder);
}

}  // namespace SpoolMark
