#include "settings/AuthView.h"

#include "Alert.h"
#include "settings/AuthCode.h"
#include "settings/SettingsKeys.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

namespace stampo {

namespace {

constexpr int formWidth = 295;
constexpr qreal margin = 10;

using SettingsKeys::loginName;
using SettingsKeys::loginPassword;

} // namespace

AuthView::AuthView(std::shared_ptr<Alert> alert, Notifications* notifications, QWidget* parent)
    : ViewController(parent)
    , m_alert(std::move(alert))
    , m_notifications(notifications) {}

void AuthView::loadView() {
    makeContainer(formWidth);
}

void AuthView::viewDidLoad() {
    ZUMContainerView* form = container();
    const qreal rowHeight = form->rowHeight() * 1.5;
    qreal top = margin;

    addFieldRow(top, rowHeight, {{loginName, "ログイン名", 10, 130, 150}});
    addFieldRow(top, rowHeight, {{loginPassword, "ログインパスワード", 10, 130, 150, true}});
    addOkAndCancel(form->addRow(top, rowHeight), "コード生成");
    finishForm(top + rowHeight + margin);
}

void AuthView::viewDidAppear() {
    for (QLineEdit* field : container()->input())
        field->clear();
    for (QLineEdit* field : container()->password())
        field->clear();
}

void AuthView::buttonAction(ZUMButton* sender) {
    if (sender->name() != "ok") {
        closeWindow();
        return;
    }
    const std::string name = container()->input().value(loginName)->text().toStdString();
    const std::string password = container()->password().value(loginPassword)->text().toStdString();
    if (const auto message = checkAuthForm(name, password)) {
        m_alert->show(*message);
        return;
    }
    emit m_notifications->didStampoAuthorization(
        {{SettingsKeys::authCode, QString::fromStdString(authCode(name, password))}});
    closeWindow();
}

} // namespace stampo
