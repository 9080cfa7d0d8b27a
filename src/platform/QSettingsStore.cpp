#include "QSettingsStore.h"

#include "util/FileDescriptor.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace stampo {

namespace {

constexpr mode_t privateFileMode = 0600;
constexpr mode_t privateDirectoryMode = 0700;

std::filesystem::path localPath(const QString& fileName) {
    return QFile::encodeName(fileName).toStdString();
}

// Makes a rename or a new entry in the directory survive power loss.
void syncDirectory(const std::filesystem::path& directory) {
    const FileDescriptor fd{::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

// Creates the missing directories private to the user; QSettings would create them readable by all.
void makePrivateDirectories(const std::filesystem::path& directory) {
    std::filesystem::path prefix;
    for (const std::filesystem::path& part : directory) {
        prefix /= part;
        if (::mkdir(prefix.c_str(), privateDirectoryMode) == 0)
            syncDirectory(prefix.parent_path());
    }
}

// QSaveFile gives the file it writes the permissions of the file it replaces, and a file QSettings creates itself
// is readable by all; so the file exists, private, before QSettings writes it.
void makePrivateFile(const std::filesystem::path& file) {
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = ::open(file.c_str(), flags, privateFileMode);
    if (fd < 0 && errno == ENOENT) {
        makePrivateDirectories(file.parent_path());
        fd = ::open(file.c_str(), flags, privateFileMode);
    }
    const FileDescriptor created{fd};
    if (created.get() < 0)
        ::chmod(file.c_str(), privateFileMode);
}

// Keeps a file QSettings cannot read or parse for a person to look at; what could be read is then written afresh.
// Left in place, its damage would make QSettings report every later write of this object as failed.
void setAside(const std::filesystem::path& file) {
    std::filesystem::path damaged = file;
    damaged += ".damaged";
    if (::rename(file.c_str(), damaged.c_str()) == 0)
        ::chmod(damaged.c_str(), privateFileMode);
}

std::unique_ptr<QSettings> openSettings(const QString& fileName) {
    auto settings = std::make_unique<QSettings>(fileName, QSettings::IniFormat);
    // Any thread uses the object under our mutex, so no event (QSettings's deferred flush) may reach it elsewhere.
    settings->moveToThread(nullptr);
    return settings;
}

std::string textOf(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QStringList:
    case QMetaType::QVariantList:
        // The form QSettings itself writes a list in.
        return value.toStringList().join(QStringLiteral(", ")).toStdString();
    default:
        return value.toString().toStdString();
    }
}

} // namespace

// QSettings(IniFormat, UserScope, "Stampo", "Stampo") would name the file Stampo.ini; the established name is the
// NativeFormat one, which on Unix is the same INI syntax. An explicit file also keeps out the system-wide fallbacks.
QString QSettingsStore::defaultFileName() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Stampo/Stampo.conf");
}

QSettingsStore::QSettingsStore()
    : QSettingsStore(defaultFileName()) {}

QSettingsStore::QSettingsStore(const QString& fileName)
    : m_fileName(QFileInfo(fileName).absoluteFilePath())
    , m_settings(openSettings(m_fileName)) {
    // Parsing every section now makes any damage show in status() before the first write.
    const QStringList keys = m_settings->allKeys();
    if (m_settings->status() == QSettings::NoError)
        return;
    for (const QString& key : keys)
        m_unsaved.insert_or_assign(key, m_settings->value(key));
    m_settings.reset();
    setAside(localPath(m_fileName));
    m_settings = openSettings(m_fileName);
    persist();
}

QSettingsStore::~QSettingsStore() = default;

std::optional<std::string> QSettingsStore::objectForKey(const std::string& key) const {
    const std::lock_guard lock{m_mutex};
    const std::optional<QVariant> value = storedValue(key);
    if (!value)
        return std::nullopt;
    return textOf(*value);
}

std::optional<std::string> QSettingsStore::stringForKey(const std::string& key) const {
    const std::lock_guard lock{m_mutex};
    const std::optional<QVariant> value = storedValue(key);
    if (!value || value->typeId() != QMetaType::QString)
        return std::nullopt;
    return value->toString().toStdString();
}

void QSettingsStore::setObjectForKey(const std::string& value, const std::string& key) {
    const std::lock_guard lock{m_mutex};
    m_unsaved.insert_or_assign(QString::fromStdString(key), QVariant{QString::fromStdString(value)});
    persist();
}

void QSettingsStore::removeObjectForKey(const std::string& key) {
    const std::lock_guard lock{m_mutex};
    m_unsaved.insert_or_assign(QString::fromStdString(key), std::nullopt);
    persist();
}

QString QSettingsStore::fileName() const {
    return m_fileName;
}

std::optional<QVariant> QSettingsStore::storedValue(const std::string& key) const {
    const QString name = QString::fromStdString(key);
    if (const auto unsaved = m_unsaved.find(name); unsaved != m_unsaved.end())
        return unsaved->second;
    if (!m_settings->contains(name))
        return std::nullopt;
    return m_settings->value(name);
}

// A failed write cannot be reported through this interface, and nothing is logged (values are credentials): the
// change stays in m_unsaved, so reads still see it, and every later write tries it again.
void QSettingsStore::persist() {
    const std::filesystem::path file = localPath(m_fileName);
    // Two tries: a file damaged by someone else since it was read makes the sync report FormatError although it
    // wrote; a fresh object then tells whether the file is now good.
    for (int attempt = 0; attempt < 2 && !m_unsaved.empty(); ++attempt) {
        // The status is sticky: only a fresh object tells whether this write worked.
        if (m_settings->status() != QSettings::NoError)
            m_settings = openSettings(m_fileName);
        makePrivateFile(file);
        for (const auto& [key, value] : m_unsaved) {
            if (value)
                m_settings->setValue(key, *value);
            else
                m_settings->remove(key);
        }
        // QSaveFile writes a temporary file, fdatasync()s it and renames it over the old one (Qt 6.4); the
        // rename itself lasts only once the directory is synced.
        m_settings->sync();
        if (m_settings->status() == QSettings::NoError) {
            m_unsaved.clear();
            syncDirectory(file.parent_path());
        }
    }
}

} // namespace stampo
