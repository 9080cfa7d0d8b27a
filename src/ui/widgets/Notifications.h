#pragma once

#include <QObject>
#include <QVariantMap>

namespace stampo {

// The application's notification centre: one signal per notification name, with its user info (empty when
// none). Observers connect with Qt::DirectConnection, so they run on the posting thread before post returns.
class Notifications final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void didStampoSetting();
    void didStampoAttend(const QVariantMap& userInfo);
    void didStampoAuthorization(const QVariantMap& userInfo);
};

} // namespace stampo
