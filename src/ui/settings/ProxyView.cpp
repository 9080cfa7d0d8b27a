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

QString nameOf(std::string_view key) {
    return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
}

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
    const auto& [host, port, user, password] = SettingsKeys::proxyKeys;
    const qreal rowHeight = form->rowHeight() * 1.5;
    qreal top = margin;

    QWidget* row = form->addRow(top, rowHeight);
    form->addCaption(row, nameOf(host) + "Caption", "アドレス", 10);
    form->addInput(row, nameOf(host), 130, 430);
    top += rowHeight;

    row = form->addRow(top, rowHeight);
    form->addCaption(row, nameOf(port) + "Caption", "ポート番号", 10);
    form->addInput(row, nameOf(port), 130, 150);
    top += rowHeight;

    row = form->addRow(top, rowHeight);
    form->addCaption(row, nameOf(user) + "Caption", "ユーザー名", 10);
    form->addInput(row, nameOf(user), 130, 150);
    form->addCaption(row, nameOf(password) + "Caption", "パスワード", 285);
    form->addPassword(row, nameOf(password), 410, 150);
    top += rowHeight;

    row = form->addRow(top, rowHeight);
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
    const auto& [host, port, user, password] = SettingsKeys::proxyKeys;
    const auto input = [this](std::string_view key) { return container()->input().value(nameOf(key))->text(); };
    const ProxyFields fields{input(host).toStdString(), input(port).toStdString(), input(user).toStdString(),
                             container()->password().value(nameOf(password))->text().toStdString()};
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
