// stampo-settings-read FILE KEY: prints the value stored under KEY in the settings file FILE, exactly, without a
// newline; exits 1 when nothing is stored there. Reads with plain QSettings, independently of the store under test.
#include <QSettings>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const QSettings settings{QString::fromLocal8Bit(argv[1]), QSettings::IniFormat};
    if (!settings.contains(QString::fromUtf8(argv[2])))
        return 1;
    const QByteArray value = settings.value(QString::fromUtf8(argv[2])).toString().toUtf8();
    std::fwrite(value.constData(), 1, static_cast<std::size_t>(value.size()), stdout);
}
