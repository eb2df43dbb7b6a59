#include "RecentFiles.h"

#include "Profile.h"

bool RecentImageFiles::AddFront(const std::string& path) {
    if (path.empty())
        return false;
    int found = -1;
    for (int i = 0; i < m_Count; ++i)
        if (m_Files[i] == path) {
            found = i;
            break;
        }
    int last = found >= 0 ? found : (m_Count < MAX_FILES ? m_Count : MAX_FILES - 1);
    for (int i = last; i > 0; --i)
        m_Files[i] = m_Files[i - 1];
    m_Files[0] = path;
    if (found < 0 && m_Count < MAX_FILES)
        ++m_Count;
    return true;
}

bool RecentImageFiles::Remove(const std::string& path) {
    if (path.empty())
        return false;
    for (int i = 0; i < m_Count; ++i)
        if (m_Files[i] == path) {
            for (int j = i; j + 1 < m_Count; ++j)
                m_Files[j] = m_Files[j + 1];
            --m_Count;
            m_Files[m_Count].clear();
            break;
        }
    return true;
}

bool RecentImageFiles::GetEntry(int index, std::string& path) const {
    if (index < 0 || index >= m_Count)
        return false;
    path = m_Files[index];
    return true;
}

void RecentImageFiles::Save(CProfile& profile) const {
    profile.WriteInt("n", m_Count);
    for (int i = 0; i < m_Count; ++i)
        profile.WriteString("recfile" + std::to_string(i), m_Files[i]);
    for (int i = m_Count; i < MAX_FILES; ++i) {
        std::string key = "recfile" + std::to_string(i);
        if (!profile.GetString(key, "").empty())
            profile.Remove(key);
    }
}

void RecentImageFiles::Load(CProfile& profile) {
    for (std::string& f : m_Files)
        f.clear();
    m_Count = 0;
    int n = profile.GetInt("n", 0);
    // Only the lowest keys can survive; a damaged count must not make the start-up read for ever.
    if (n > MAX_KEYS_READ)
        n = MAX_KEYS_READ;
    for (int i = n - 1; i >= 0; --i)
        AddFront(profile.GetString("recfile" + std::to_string(i), ""));
}
