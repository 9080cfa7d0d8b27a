#include "PlatformPreference.h"

#include <QByteArray>
#include <QtGlobal>

namespace stampo {

void preferX11Platform() {
    // Set but empty counts as not chosen, as Qt itself treats it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb;wayland"));
}

} // namespace stampo
