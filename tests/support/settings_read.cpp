// stampo-settings-read FILE: prints every key in the settings file FILE and its value (a list's items joined by ", "),
// each followed by a NUL byte. Reads with plain QSettings, independently of the store under test.
#include <QSettings>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const QSettings settings{QString::fromLocal8Bit(argv[1]), QSettings::IniFormat};
    for (const QString& key : settings.allKeys()) {
        const QByteArray pair = key.toUtf8() + '\0' + settings.value(key).toStringList().join(", ").toUtf8() + '\0';
        std::fwrite(pair.constData(), 1, static_cast<std::size_t>(pair.size()), stdout);
    }
}
