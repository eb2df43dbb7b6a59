#include "QtProfile.h"

#include <QSettings>

namespace {

QString SettingsKey(const std::string& key) {
    return QStringLiteral("Settings/") + QString::fromStdString(key);
}

} // namespace

CQtProfile::CQtProfile(const std::string& appName)
    : m_Settings(std::make_unique<QSettings>(QString::fromLatin1(CProfile::KEY_WORD),
                                             QString::fromStdString(appName))) {}

std::unique_ptr<CQtProfile> CQtProfile::FromFile(const std::string& iniPath) {
    std::unique_ptr<CQtProfile> profile(new CQtProfile());
    profile->m_Settings = std::make_unique<QSettings>(QString::fromStdString(iniPath), QSettings::IniFormat);
    return profile;
}

CQtProfile::~CQtProfile() = default;

int CQtProfile::GetInt(const std::string& key, int def) {
    bool ok = false;
    int value = m_Settings->value(SettingsKey(key), def).toInt(&ok);
    return ok ? value : def;
}

void CQtProfile::WriteInt(const std::string& key, int value) {
    m_Settings->setValue(SettingsKey(key), value);
}

std::string CQtProfile::GetString(const std::string& key, const std::string& def) {
    QVariant v = m_Settings->value(SettingsKey(key));
    if (!v.isValid())
        return def;
    return v.toString().toStdString();
}

void CQtProfile::WriteString(const std::string& key, const std::string& value) {
    m_Settings->setValue(SettingsKey(key), QString::fromStdString(value));
}

void CQtProfile::Remove(const std::string& key) {
    m_Settings->remove(SettingsKey(key));
}

bool CQtProfile::Contains(const std::string& key) {
    return m_Settings->contains(SettingsKey(key));
}

void CQtProfile::Sync() {
    m_Settings->sync();
}
