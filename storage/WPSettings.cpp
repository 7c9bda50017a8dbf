#include "storage/WPSettings.h"

std::shared_ptr<const CWPSettings> CWPSettingsStore::Get() const {
    MutexLock guard(m_lock);
    return m_current;
}

void CWPSettingsStore::Replace(const CWPSettings& settings) {
    auto replacement = std::make_shared<const CWPSettings>(settings);
    MutexLock guard(m_lock);
    m_current = std::move(replacement);
}
