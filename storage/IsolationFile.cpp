#include "storage/IsolationFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "hostlib/VktBase.h"
#include "platform/System.h"
#include "storage/WPSettings.h"

namespace {

constexpr int kSlotsPerLevel = 14;
constexpr int kFirstV0Slot = 98;
constexpr int kV0Slots = 16;
constexpr int kLevelValues = 10;
// A tower that has not reported for longer than this gets no file.
constexpr double kSilenceSeconds = 600.0;
// Values stamped within this many seconds of the file time are current.
constexpr int kFreshSeconds = 300;
// A file whose content is no longer than this is not kept.
constexpr size_t kMaxDiscardedContent = 10;
// Half a second in days, added to the difference in seconds as the reader expects.
constexpr double kHalfSecondTerm = 0.000005787037037037037;

int WindSlot(int32_t id, int32_t base, int offset) {
    const int group = (id - base) / 100;
    const int level = (id - base) % 100;
    if (level > 6) return kNoSlot;
    return group + kSlotsPerLevel * level + offset;
}

void AppendValue(std::string& line, const CRTUValue& slot, const DateTime& fileTime, bool& fresh) {
    const bool current = IsolationFile::IsFresh(slot, fileTime);
    fresh = fresh || current;
    char field[64];
    std::snprintf(field, sizeof field, ",%7.2f",
                  current ? static_cast<double>(slot.m_fValue) : -99.0);
    line += field;
}

std::string LineHead(int outputID, const std::string& timeText, int tag) {
    return std::to_string(outputID) + "," + timeText + ",V" + std::to_string(tag);
}

// A failed call that left errno 0 still needs a reason in the log.
int LastError() {
    return errno != 0 ? errno : EIO;
}

// Puts the file under `name` whole, or, with content too short to keep, removes it.
// The device takes every "*.txt" it finds, so the file is written under a name it
// ignores and renamed into place: the device sees the older file or the new one,
// never part of one. Returns 0 or the errno of the failure; no temporary file stays.
int WriteWhole(const std::string& name, const std::string& content) {
    const std::string temporary = name + ".tmp";
    // Created even when nothing is kept, so that a folder that cannot be written is
    // noticed whatever the towers sent.
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return LastError();
    const bool keep = content.size() > kMaxDiscardedContent;
    errno = 0;
    int error = 0;
    if (keep && (std::fwrite(content.data(), 1, content.size(), file) != content.size() ||
                 std::fputs("##", file) == EOF)) {
        error = LastError();
    }
    // Most write errors (a full disk) show only when the buffer is flushed here.
    if (std::fclose(file) != 0 && error == 0) error = LastError();
    if (error == 0 && keep && !System::MoveOver(temporary, name)) {
        error = LastError();
    }
    if (error != 0 || !keep) System::RemoveFile(temporary);
    // Not remove: a folder that happens to have the file's name stays.
    if (error == 0 && !keep && !System::RemoveFile(name) && errno != ENOENT) {
        error = LastError();
    }
    return error;
}

std::string FolderText(const std::string& dir) {
    return dir.empty() ? std::string("the current directory") : dir;
}

std::string Subject(const std::string& dir) {
    return "Reverse-isolation files in " + FolderText(dir);
}

// One line when the folder starts failing, not one per tower and pass while it does.
void ReportFailure(CIsolationFolderState& folder, const std::string& dir, int error) {
    if (folder.m_log.Failing() && folder.m_strDir != dir) folder.m_log = CFailureLog();
    folder.m_strDir = dir;
    folder.m_log.SetSubject(Subject(dir));
    if (!folder.m_log.Failed()) return;
    WriteErrorInfo("Cannot write the reverse-isolation files in " + FolderText(dir) + ": " +
                   std::generic_category().message(error));
}

void ReportSuccess(CIsolationFolderState& folder, const std::string& dir) {
    if (!folder.m_log.Failing()) return;
    folder.m_log.SetSubject(Subject(dir));
    folder.m_log.Succeeded();
    folder.m_strDir.clear();
}

}  // namespace

int GetValueSlot(int32_t id) {
    if (id >= 7000 && id <= 7999) return WindSlot(id, 7000, 0);
    if (id >= 9000 && id <= 9399) return WindSlot(id, 9000, 10);
    switch (id) {
        case 8000:
            return 98;
        case 8100:
            return 99;
        case 8200:
            return 100;
        case 8300:
            return 101;
        case 2300:
            return 102;
        case 100:
            return 103;
        case 3000:
            return 111;
        default:
            break;
    }
    if (id >= 2900 && id <= 2905) return 105 + (id - 2900);
    return kNoSlot;
}

void UpdateLatestValues(CRTUState& state, const std::vector<CDataItem>& items) {
    for (const CDataItem& item : items) {
        const int slot = GetValueSlot(item.m_nDataID);
        if (slot < 0 || slot >= CRTUState::kValueSlots) continue;
        state.m_arValue[slot].m_fValue = item.m_fValue;
        state.m_arValue[slot].m_tTime = item.m_tTime;
    }
}

namespace IsolationFile {

DateTime FileTime(const DateTime& now) {
    return DateTime(now.GetYear(), now.GetMonth(), now.GetDay(), now.GetHour(),
                    now.GetMinute() / 5 * 5, 0);
}

int OutputID(const CRTUDef& rtu) {
    std::string remark = rtu.m_strRemark;
    std::transform(remark.begin(), remark.end(), remark.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const size_t found = remark.find("OUTPUTID:");
    if (found == std::string::npos) return rtu.m_nRTUID;
    return std::atoi(remark.c_str() + found + 9);
}

std::string FileName(const std::string& dir, const std::string& rtuName, int outputID,
                     const DateTime& fileTime) {
    // The name must not lead the file out of the directory.
    std::string safeName = rtuName;
    std::replace(safeName.begin(), safeName.end(), '/', '_');
    std::replace(safeName.begin(), safeName.end(), '\0', '_');
    char tail[64];
    std::snprintf(tail, sizeof tail, "-%d-%02d%02d%02d-%02d%02d.txt", outputID, fileTime.GetYear(),
                  fileTime.GetMonth(), fileTime.GetDay(), fileTime.GetHour(), fileTime.GetMinute());
    return (dir.empty() ? std::string() : dir + "/") + safeName + tail;
}

bool IsFresh(const CRTUValue& slot, const DateTime& fileTime) {
    if (!slot.m_tTime.IsValid() || !std::isfinite(slot.m_fValue)) return false;
    const double seconds = (slot.m_tTime - fileTime).GetTotalSeconds();
    const long d = static_cast<long>(std::trunc(seconds + kHalfSecondTerm));
    return std::labs(d) <= kFreshSeconds;
}

std::string Content(const CRTUState& state, int outputID, const DateTime& fileTime) {
    const std::string timeText = fileTime.Format("%Y-%m-%d %H:%M:%S");
    std::string content;
    bool fresh = false;
    std::string line = LineHead(outputID, timeText, 0);
    for (int slot = kFirstV0Slot; slot < kFirstV0Slot + kV0Slots; ++slot) {
        AppendValue(line, state.m_arValue[slot], fileTime, fresh);
    }
    if (fresh) content += line + "\r\n";
    for (int level = 1; level <= 7; ++level) {
        fresh = false;
        line = LineHead(outputID, timeText, level);
        for (int i = 0; i < kLevelValues; ++i) {
            AppendValue(line, state.m_arValue[kSlotsPerLevel * (level - 1) + i], fileTime, fresh);
        }
        if (fresh) content += line + "\r\n";
    }
    return content;
}

}  // namespace IsolationFile

IsolationOutcome WriteIsolationFile(const CRTUDef& rtu, const DateTime& now,
                                    const CWPSettings& settings, CIsolationFolderState& folder) {
    if (!settings.m_bPermit) return IsolationOutcome::Nothing;
    const DateTime fileTime = IsolationFile::FileTime(now);
    CRTUState* state = CRTUState::GetRTUState(rtu.m_nRTUID);
    if (!state) return IsolationOutcome::Nothing;
    const DateTime stateTime = state->GetStateTime();
    if (!stateTime.IsValid() || (now - stateTime).GetTotalSeconds() > kSilenceSeconds) {
        return IsolationOutcome::Nothing;
    }

    const int outputID = IsolationFile::OutputID(rtu);
    const std::string name =
        IsolationFile::FileName(settings.m_strDir, rtu.m_strName, outputID, fileTime);
    const bool there = System::IdentityOf(name).has_value();
    const int error = WriteWhole(name, IsolationFile::Content(*state, outputID, fileTime));
    if (error != 0) {
        ReportFailure(folder, settings.m_strDir, error);
        return IsolationOutcome::Failed;
    }
    ReportSuccess(folder, settings.m_strDir);
    return there ? IsolationOutcome::Rewritten : IsolationOutcome::Written;
}
