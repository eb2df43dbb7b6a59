#include "Profile.h"

#include <QSettings>

namespace {

QString SettingsKey(const std::string& key) {
    return QStringLiteral("Settings/") + QString::fromStdString(key);
}

} // namespace

CProfile::CProfile(const std::string& appName)
    : m_Settings(
          std::make_unique<QSettings>(QString::fromLatin1(KEY_WORD), QString::fromStdString(appName))) {}

std::unique_ptr<CProfile> CProfile::FromFile(const std::string& iniPath) {
    std::unique_ptr<CProfile> profile(new CProfile());
    profile->m_Settings = std::make_unique<QSettings>(QString::fromStdString(iniPath), QSettings::IniFormat);
    return profile;
}

CProfile::~CProfile() = default;

int CProfile::GetInt(const std::string& key, int def) {
    bool ok = false;
    int value = m_Settings->value(SettingsKey(key), def).toInt(&ok);
    return ok ? value : def;
}

void CProfile::WriteInt(const std::string& key, int value) {
    m_Settings->setValue(SettingsKey(key), value);
}

std::string CProfile::GetString(const std::string& key, const std::string& def) {
    QVariant v = m_Settings->value(SettingsKey(key));
    if (!v.isValid())
        return def;
    return v.toString().toStdString();
}

void CProfile::WriteString(const std::string& key, const std::string& value) {
    m_Settings->setValue(SettingsKey(key), QString::fromStdString(value));
}

void CProfile::Remove(const std::string& key) {
    m_Settings->remove(SettingsKey(key));
}

bool CProfile::Contains(const std::string& key) {
    return m_Settings->contains(SettingsKey(key));
}

void CProfile::Sync() {
    m_Settings->sync();
}
