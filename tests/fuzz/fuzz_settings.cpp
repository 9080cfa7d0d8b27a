// The settings store on a settings file of arbitrary bytes: every key in it reads without harm, a text reads the same
// through both getters, and a write is read back, also by a store opened afresh on the file.
#include "Invariant.h"
#include "QSettingsStore.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // QSettings warns about every empty key it is asked for; the output would drown the fuzzer's.
    [[maybe_unused]] static const QtMessageHandler quiet =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static const QTemporaryDir directory;
    static int serial = 0;
    require(directory.isValid());
    // A fresh name every time: QSettings keeps what it parsed per file name.
    const QString file = directory.filePath(QString::number(++serial) + QStringLiteral(".conf"));
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    {
        QFile out(file);
        require(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    }

    const QStringList keys = QSettings(file, QSettings::IniFormat).allKeys();
    {
        stampo::QSettingsStore store(file);
        for (const QString& key : keys) {
            const auto text = store.stringForKey(key.toStdString());
            require(!text || store.objectForKey(key.toStdString()) == text);
        }
        const std::string value = QString::fromUtf8(bytes.left(64)).toStdString();
        store.setObjectForKey(value, "subDomain");
        require(store.stringForKey("subDomain") == value);
        require(stampo::QSettingsStore(file).stringForKey("subDomain") == value);
    }
    QFile::remove(file);
    QFile::remove(file + QStringLiteral(".damaged"));
    return 0;
}
