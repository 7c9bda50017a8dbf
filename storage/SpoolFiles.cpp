#include "storage/SpoolFiles.h"

#include <cstdio>
#include <filesystem>

#include "platform/System.h"

namespace {

namespace fs = std::filesystem;

class DiskAppender : public CSpoolFiles::Appender {
public:
    explicit DiskAppender(std::FILE* file) : m_file(file) {
        // Unbuffered: every record reaches the kernel in the call that appends it, so
        // a killed process keeps it.
        std::setvbuf(m_file, nullptr, _IONBF, 0);
    }
    ~DiskAppender() override { std::fclose(m_file); }
    bool Append(const unsigned char* data, size_t size) override {
        if (std::fwrite(data, 1, size, m_file) == size) return true;
        std::clearerr(m_file);
        return false;
    }
    bool Truncate(int64_t size) override { return System::TruncateFile(m_file, size); }
    bool Sync() override { return System::SyncFile(m_file); }

private:
    std::FILE* m_file;
};

class DiskReader : public CSpoolFiles::Reader {
public:
    explicit DiskReader(std::FILE* file) : m_file(file) {}
    ~DiskReader() override { std::fclose(m_file); }
    void ReadAt(int64_t offset, size_t size, std::vector<unsigned char>& out) override {
        out.resize(size);
        // Seeking drops what the stream buffered, so appends made since are seen.
        size_t read = 0;
        if (std::fseek(m_file, static_cast<long>(offset), SEEK_SET) == 0) {
            read = std::fread(out.data(), 1, size, m_file);
        }
        out.resize(read);
    }

private:
    std::FILE* m_file;
};

class DiskFiles : public CSpoolFiles {
public:
    std::unique_ptr<Appender> OpenAppend(const std::string& path) override {
        std::FILE* file = std::fopen(path.c_str(), "ab");
        return file ? std::make_unique<DiskAppender>(file) : nullptr;
    }
    std::unique_ptr<Reader> OpenRead(const std::string& path) override {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        return file ? std::make_unique<DiskReader>(file) : nullptr;
    }
    int64_t Size(const std::string& path) override {
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        return ec ? -1 : static_cast<int64_t>(size);
    }
    bool Truncate(const std::string& path, int64_t size) override {
        std::error_code ec;
        fs::resize_file(path, static_cast<uintmax_t>(size), ec);
        return !ec;
    }
    std::vector<std::string> List(const std::string& folder) override {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    bool MakeFolder(const std::string& folder) override {
        std::error_code ec;
        fs::create_directories(folder, ec);
        return fs::is_directory(folder, ec);
    }
    bool Remove(const std::string& path) override { return System::RemoveFile(path); }
    bool WriteSynced(const std::string& path, const std::string& text) override {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) return false;
        const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                             std::fflush(file) == 0 && System::SyncFile(file);
        return std::fclose(file) == 0 && written;
    }
    bool Rename(const std::string& from, const std::string& to) override {
        return System::MoveOver(from, to);
    }
    bool SyncFolder(const std::string& folder) override { return System::SyncDirectory(folder); }
};

}  // namespace

CSpoolFiles& DiskSpoolFiles() {
    static DiskFiles files;
    return files;
}
