#pragma once

#include "SettingsStore.h"

#include <QSettings>
#include <QString>
#include <QVariant>

#include <map>
#include <memory>
#include <mutex>

namespace stampo {

// The settings store on a QSettings INI file ($XDG_CONFIG_HOME/Stampo/Stampo.conf). Every write and removal is
// on disk before it returns; the file is kept private to the user (0600) since it holds credentials.
class QSettingsStore final : public SettingsStore {
public:
    // The file of organisation and application "Stampo" in the user's configuration directory.
    QSettingsStore();
    // A given file; for tools and tests.
    explicit QSettingsStore(const QString& fileName);
    ~QSettingsStore() override;

    std::optional<std::string> objectForKey(const std::string& key) const override;
    std::optional<std::string> stringForKey(const std::string& key) const override;
    void setObjectForKey(const std::string& value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;

    QString fileName() const;
    // $XDG_CONFIG_HOME/Stampo/Stampo.conf: where the application keeps its settings.
    static QString defaultFileName();

private:
    void persist();
    std::optional<QVariant> storedValue(const std::string& key) const;

    mutable std::mutex m_mutex;
    const QString m_fileName;
    std::unique_ptr<QSettings> m_settings;
    // Changes not yet known to be on disk: a value, or none for a removal.
    std::map<QString, std::optional<QVariant>> m_unsaved;
};

} // namespace stampo
