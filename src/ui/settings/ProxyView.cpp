#include "settings/ProxyView.h"

#include "Alert.h"
#include "SettingsStore.h"
#include "settings/ProxyCheck.h"
#include "settings/SettingsKeys.h"
#include "widgets/ZUMContainerView.h"

namespace stampo {

namespace {

constexpr int formWidth = 575;
constexpr qreal margin = 10;

// Calls `visit(name, field)` for every text input, then every password input: exactly the form's settings.
template <typename Visit> void forEachField(const ZUMContainerView& form, Visit visit) {
    for (const auto& [name, field] : form.input().asKeyValueRange())
        visit(name, *field);
    for (const auto& [name, field] : form.password().asKeyValueRange())
        visit(name, *field);
}

} // namespace

ProxyView::ProxyView(std::shared_ptr<SettingsStore> store, std::shared_ptr<Alert> alert, QWidget* parent)
    : ViewController(parent)
    , m_store(std::move(store))
    , m_alert(std::move(alert)) {}

void ProxyView::loadView() {
    makeContainer(formWidth);
}

void ProxyView::viewDidLoad() {
    ZUMContainerView* form = container();
    using SettingsKeys::proxyHost, SettingsKeys::proxyPort, SettingsKeys::proxyUser, SettingsKeys::proxyPassword;
    const qreal rowHeight = form->rowHeight() * 1.5;
    qreal top = margin;

    addFieldRow(top, rowHeight, {{proxyHost, "アドレス", 10, 130, 430}});
    addFieldRow(top, rowHeight, {{proxyPort, "ポート番号", 10, 130, 150}});
    addFieldRow(top, rowHeight,
                {{proxyUser, "ユーザー名", 10, 130, 150}, {proxyPassword, "パスワード", 285, 410, 150, true}});

    QWidget* row = form->addRow(top, rowHeight);
    form->addCaption(row, "caution", "ユーザー認証の必要がない場合は、ユーザー名・パスワードの入力は不要です。", 10);
    top += rowHeight;

    addOkAndCancel(form->addRow(top, rowHeight), "OK");
    finishForm(top + rowHeight + margin);
}

void ProxyView::viewDidAppear() {
    forEachField(*container(), [this](const QString& name, QLineEdit& field) {
        field.setText(QString::fromStdString(m_store->stringForKey(name.toStdString()).value_or("")));
    });
}

void ProxyView::buttonAction(ZUMButton* sender) {
    if (sender->name() != "ok") {
        closeWindow();
        return;
    }
    using SettingsKeys::proxyHost, SettingsKeys::proxyPort, SettingsKeys::proxyUser, SettingsKeys::proxyPassword;
    const auto input = [this](const char* key) { return container()->input().value(key)->text(); };
    const ProxyFields fields{input(proxyHost).toStdString(), input(proxyPort).toStdString(),
                             input(proxyUser).toStdString(),
                             container()->password().value(proxyPassword)->text().toStdString()};
    if (const auto message = checkProxyForm(fields)) {
        m_alert->show(*message);
        return;
    }
    forEachField(*container(), [this](const QString& name, const QLineEdit& field) {
        m_store->setObjectForKey(field.text().toStdString(), name.toStdString());
    });
    closeWindow();
}

} // namespace stampo
