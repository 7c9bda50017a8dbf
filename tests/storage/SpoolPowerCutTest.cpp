// The frame spool through a power cut: beneath it a file layer that keeps, at the
// cut, only what was synced, with torn, partly garbled unsynced tails and the folder's
// names of its last sync or of the moment (either may win). The cut falls at many
// points of a run of appends, reads, stores, syncs, marks and segment deletions; the
// station files are modelled as a store whose rows survive only once the spool's
// durability step ran. After each cut a restart must store every frame appended
// before the last sync, each once in its read, and read nothing that was not appended.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "storage/FrameSpool.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

class ForgetfulFiles : public CSpoolFiles {
public:
    struct Inode {
        std::vector<unsigned char> now;
        std::vector<unsigned char> synced;
    };
    using Names = std::map<std::string, std::shared_ptr<Inode>>;

    // What the disk holds after the power comes back.
    void Cut(std::mt19937& random) {
        if (random() % 2 == 0) m_names = m_syncedNames;
        for (auto& [name, inode] : m_names) Forget(*inode, random);
        m_syncedNames = m_names;
    }

    std::unique_ptr<Appender> OpenAppend(const std::string& path) override {
        auto& inode = m_names[path];
        if (!inode) inode = std::make_shared<Inode>();
        return std::make_unique<FileAppender>(inode);
    }
    std::unique_ptr<Reader> OpenRead(const std::string& path) override {
        const auto found = m_names.find(path);
        if (found == m_names.end()) return nullptr;
        return std::make_unique<FileReader>(found->second);
    }
    int64_t Size(const std::string& path) override {
        const auto found = m_names.find(path);
        return found == m_names.end() ? -1 : static_cast<int64_t>(found->second->now.size());
    }
    bool Truncate(const std::string& path, int64_t size) override {
        const auto found = m_names.find(path);
        if (found == m_names.end()) return false;
        found->second->now.resize(static_cast<size_t>(size));
        return true;
    }
    std::vector<std::string> List(const std::string& folder) override {
        std::vector<std::string> names;
        for (const auto& [path, inode] : m_names) {
            if (path.rfind(folder + "/", 0) == 0) names.push_back(path.substr(folder.size() + 1));
        }
        return names;
    }
    bool MakeFolder(const std::string&) override { return true; }
    bool Remove(const std::string& path) override { return m_names.erase(path) == 1; }
    bool WriteSynced(const std::string& path, const std::string& text) override {
        auto inode = std::make_shared<Inode>();
        inode->now.assign(text.begin(), text.end());
        inode->synced = inode->now;
        m_names[path] = inode;
        return true;
    }
    bool Rename(const std::string& from, const std::string& to) override {
        const auto found = m_names.find(from);
        if (found == m_names.end()) return false;
        m_names[to] = found->second;
        m_names.erase(from);
        return true;
    }
    bool SyncFolder(const std::string&) override {
        m_syncedNames = m_names;
        return true;
    }

private:
    class FileAppender : public Appender {
    public:
        explicit FileAppender(std::shared_ptr<Inode> inode) : m_inode(std::move(inode)) {}
        bool Append(const unsigned char* data, size_t size) override {
            m_inode->now.insert(m_inode->now.end(), data, data + size);
            return true;
        }
        bool Truncate(int64_t size) override {
            m_inode->now.resize(static_cast<size_t>(size));
            return true;
        }
        bool Sync() override {
            m_inode->synced = m_inode->now;
            return true;
        }

    private:
        std::shared_ptr<Inode> m_inode;
    };
    class FileReader : public Reader {
    public:
        explicit FileReader(std::shared_ptr<Inode> inode) : m_inode(std::move(inode)) {}
        void ReadAt(int64_t offset, size_t size, std::vector<unsigned char>& out) override {
            const auto& bytes = m_inode->now;
            const size_t from = std::min(bytes.size(), static_cast<size_t>(offset));
            const size_t to = std::min(bytes.size(), from + size);
            out.assign(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(to));
        }

    private:
        std::shared_ptr<Inode> m_inode;
    };

    // The synced bytes, then some of the unsynced tail's blocks, each whole, zeroed or
    // garbled: the disk may have written any of them, in any order.
    static void Forget(Inode& inode, std::mt19937& random) {
        constexpr size_t kBlock = 512;
        std::vector<unsigned char> kept = inode.synced;
        if (inode.now.size() > kept.size() &&
            std::equal(kept.begin(), kept.end(), inode.now.begin())) {
            const size_t tail = inode.now.size() - kept.size();
            const size_t keep = random() % (tail + 1);
            for (size_t at = kept.size(); at < inode.synced.size() + keep; at += kBlock) {
                const size_t end = std::min(inode.synced.size() + keep, at + kBlock);
                const unsigned fate = random() % 4;
                for (size_t i = at; i < end; ++i) {
                    kept.push_back(fate == 0   ? 0
                                   : fate == 1 ? static_cast<unsigned char>(random())
                                               : inode.now[i]);
                }
            }
        }
        inode.now = kept;
        inode.synced = kept;
    }

    Names m_names;
    Names m_syncedNames;
};

CDataFrame FrameNumbered(int number) {
    const DateTime time = DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(0, 0, 10 * number, 0);
    return FrameOf(12, time, {Item(7000, float(number), time), Item(7001, 1.0f, time)});
}

int NumberOf(const SpooledRecord& entry) {
    return static_cast<int>(entry.record->m_arItems.at(0).m_fValue);
}

// Station rows as the station files keep them: written at once, durable only after the
// spool's durability step.
struct StationStore {
    std::set<int> durable;
    std::set<int> written;
    void Attach(CFrameSpool& spool) {
        spool.SetDurabilityStep([this] {
            durable.insert(written.begin(), written.end());
            return true;
        });
    }
};

TEST(SpoolPowerCutTest, EveryFrameSyncedBeforeTheCutIsStoredAfterTheRestart) {
    TestHost host(false);
    const std::string folder = host.Path("WPData/spool");
    constexpr int kCutPoints = 600;
    long checkedFrames = 0;
    long segmentsDeleted = 0;
    for (int cut = 0; cut < kCutPoints; ++cut) {
        SCOPED_TRACE("cut point " + std::to_string(cut));
        std::mt19937 random(static_cast<unsigned>(cut));
        ForgetfulFiles files;
        StationStore stations;
        // Half the runs sync on every append; the others only when the storage thread
        // says so. Segments of 3 to 10 frames, so that marks pass several of them.
        const int syncMs = random() % 2 == 0 ? 0 : 3600 * 1000;
        const int64_t segmentBytes = 200 + random() % 500;
        std::map<int, SpoolPosition> appendedEnds;
        SpoolPosition durableEnd;
        int next = 0;
        {
            CFrameSpool spool(folder, syncMs, segmentBytes, files);
            stations.Attach(spool);
            ASSERT_TRUE(spool.Open());
            const int steps = 1 + static_cast<int>(random() % 120);
            size_t segmentsSeen = 0;
            for (int step = 0; step < steps; ++step) {
                switch (random() % 4) {
                    case 0:
                    case 1:
                        ASSERT_TRUE(spool.Append(FrameNumbered(next)));
                        appendedEnds[next++] = spool.WriteEnd();
                        break;
                    case 2:
                        for (const SpooledRecord& entry : spool.ReadBatch(1 + random() % 4)) {
                            stations.written.insert(NumberOf(entry));
                            spool.MarkStored(entry.end);
                        }
                        break;
                    default:
                        spool.SyncIfDue(true);
                        break;
                }
                segmentsSeen = std::max(segmentsSeen, files.List(folder).size());
            }
            durableEnd = spool.TEST_DurableEnd();
            segmentsDeleted += static_cast<long>(segmentsSeen - files.List(folder).size());
        }
        files.Cut(random);
        stations.written.clear();

        CFrameSpool again(folder, syncMs, segmentBytes, files);
        stations.Attach(again);
        ASSERT_TRUE(again.Open());
        std::set<int> readAgain;
        for (auto batch = again.ReadBatch(16); !batch.empty(); batch = again.ReadBatch(16)) {
            for (const SpooledRecord& entry : batch) {
                const int number = NumberOf(entry);
                ASSERT_TRUE(appendedEnds.count(number)) << "a record never appended: " << number;
                EXPECT_TRUE(readAgain.insert(number).second) << "read twice: " << number;
                stations.durable.insert(number);
                again.MarkStored(entry.end);
            }
        }
        for (const auto& [number, end] : appendedEnds) {
            if (end > durableEnd) continue;
            EXPECT_TRUE(stations.durable.count(number)) << "frame " << number << " lost";
            ++checkedFrames;
        }
    }
    RecordProperty("frames checked", static_cast<int>(checkedFrames));
    std::printf(
        "power cut test: %d cut points, %ld frames synced before a cut all stored, %ld "
        "segments deleted before cuts\n",
        kCutPoints, checkedFrames, segmentsDeleted);
    EXPECT_GT(segmentsDeleted, 0) << "no cut came after a segment deletion";
}

}  // namespace
