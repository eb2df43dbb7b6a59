#include "Profile.h"

#include <charconv>
#include <fstream>

namespace {

std::string Escape(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char c = text[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

CIniProfile::CIniProfile(std::string path) : m_Path(std::move(path)) {
    std::ifstream in(m_Path, std::ios::binary);
    std::string line;
    bool settings = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            settings = line == "[Settings]";
            continue;
        }
        size_t eq = line.find('=');
        if (settings && eq != std::string::npos && eq > 0)
            m_Values[line.substr(0, eq)] = Unescape(line.substr(eq + 1));
    }
}

CIniProfile::~CIniProfile() {
    Save();
}

int CIniProfile::GetInt(const std::string& key, int def) {
    auto it = m_Values.find(key);
    if (it == m_Values.end())
        return def;
    int value = 0;
    const std::string& text = it->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : def;
}

void CIniProfile::WriteInt(const std::string& key, int value) {
    WriteString(key, std::to_string(value));
}

std::string CIniProfile::GetString(const std::string& key, const std::string& def) {
    auto it = m_Values.find(key);
    return it == m_Values.end() ? def : it->second;
}

// Written through at once, as the platform's own profile writes are: a run that is killed keeps what it
// was told.
void CIniProfile::WriteString(const std::string& key, const std::string& value) {
    auto it = m_Values.find(key);
    if (it != m_Values.end() && it->second == value)
        return;
    m_Values[key] = value;
    m_Dirty = true;
    Save();
}

void CIniProfile::Remove(const std::string& key) {
    if (m_Values.erase(key) > 0) {
        m_Dirty = true;
        Save();
    }
}

bool CIniProfile::Contains(const std::string& key) {
    return m_Values.count(key) != 0;
}

void CIniProfile::Sync() {
    Save();
}

bool CIniProfile::Save() {
    if (!m_Dirty)
        return true;
    std::ofstream out(m_Path, std::ios::binary | std::ios::trunc);
    out << "[Settings]\n";
    for (const auto& [key, value] : m_Values)
        out << key << '=' << Escape(value) << '\n';
    out.flush();
    if (!out)
        return false;
    m_Dirty = false;
    return true;
}
