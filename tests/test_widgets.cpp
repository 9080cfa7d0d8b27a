#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/MessageBoxAlert.h"
#include "widgets/ZUMContainerView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace {

using namespace stampo;

TEST(Form, PlacesEachKindCentredInItsRowAndComboboxReadsTheSelectedEntry) {
    ZUMContainerView form;
    form.resize(300, 60);
    QWidget* row = form.addRow(10, form.rowHeight() * 1.5);
    EXPECT_EQ(row->geometry(), QRect(0, 10, 300, 29));
    form.addInput(row, "subDomain", 10.5, 100);
    EXPECT_EQ(form.addPassword(row, "proxyPassword", 120, 60)->echoMode(), QLineEdit::Password);
    ZUMComboBox* combobox = form.addCombobox(row, "fieldIn", 190, 75);
    form.setRowHeight(39); // taller than the row: a negative y
    form.addButton(row, "ok", "勤務開始", 10, 250);
    const std::pair<const char*, QRect> frames[] = {{"subDomain", {11, 5, 100, 19}},
                                                    {"proxyPassword", {120, 5, 60, 19}},
                                                    {"fieldIn", {190, 5, 75, 19}},
                                                    {"ok", {10, -5, 250, 39}}};
    for (const auto& [name, frame] : frames) {
        const QWidget* control = row->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
        ASSERT_TRUE(control) << name;
        EXPECT_EQ(control->geometry(), frame) << name;
    }
    // A caption is as wide as its text, even beyond the row, and centred on the row's exact height.
    const ZUMLabel* caption = form.addCaption(row, "caption", "従業員を選択して下さい", 400.5);
    EXPECT_EQ(caption->x(), 401);
    EXPECT_NEAR(caption->y() + caption->height() / 2.0, 29.25 / 2, 1.0);
    EXPECT_EQ(caption->width(), caption->fontMetrics().horizontalAdvance(caption->text()));

    EXPECT_FALSE(combobox->isEditable());
    combobox->addItems({"佐藤", "鈴木", "田中"});
    combobox->setDatasource({{{"code", "sato"}}, {{"code", "suzuki"}, {"number", 5}}}); // none for the third
    // The selection, a value that is not a text, no selection, a selection beyond the datasource.
    const std::tuple<int, QString, QString> cases[] = {
        {1, "code", "suzuki"}, {1, "number", ""}, {-1, "code", ""}, {2, "code", ""}};
    for (const auto& [index, key, expected] : cases) {
        combobox->setCurrentIndex(index);
        EXPECT_EQ(combobox->selectedValue(key), expected) << index << key.toStdString();
    }
}

// Records what FormWindow asks of its view controller.
class Probe final : public ViewController {
public:
    using ViewController::closeWindow;

    void loadView() override {
        makeContainer(275)->resize(275, 120);
        calls << "loadView";
    }
    void viewDidLoad() override { calls << "viewDidLoad"; }
    void viewDidAppear() override { calls << "viewDidAppear"; }

    QStringList calls;
};

TEST(FormWindow, BuildsOnceFixedAboveOthersAndAppearsCentredAtEveryShowing) {
    auto* probe = new Probe; // the window takes it as its child
    FormWindow window(probe, "勤務開始", false);
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(window.minimumSize(), QSize(275, 120));
    EXPECT_EQ(window.maximumSize(), QSize(275, 120));
    window.present();
    EXPECT_TRUE(probe->isVisible());
    EXPECT_LE((window.frameGeometry().center() - window.screen()->availableGeometry().center()).manhattanLength(), 2);
    window.present(); // already shown: no new appearance
    probe->closeWindow();
    EXPECT_FALSE(window.isVisible());
    window.present();
    EXPECT_EQ(probe->calls, QStringList({"loadView", "viewDidLoad", "viewDidAppear", "viewDidAppear"}));

    const QPointer<Probe> freed = new Probe;
    const QPointer<FormWindow> freeing = new FormWindow(freed, "認証コード生成", true);
    freeing->present();
    freed->closeWindow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(freeing.isNull() && freed.isNull()) << "delete on close";
}

TEST(MessageBoxAlert, AlertsAskedWhileOneIsOpenFollowOneAnother) {
    MessageBoxAlert alert;
    int asked = 1;
    const auto ask = [&](const char* message) {
        ++asked;
        alert.show(message);
    };
    // Queued onto the main thread while the first alert's modal loop runs, as alerts from worker threads are;
    // the third is queued while the second waits.
    QMetaObject::invokeMethod(
        qApp,
        [&] {
            QMetaObject::invokeMethod(
                qApp, [&] { ask("<b>勤務終了</b> & 送信"); }, Qt::QueuedConnection);
            ask("送信完了");
        },
        Qt::QueuedConnection);

    QStringList seen;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (asked < 3 || !box || !box->isVisible())
            return;
        int open = 0;
        for (const QWidget* widget : QApplication::topLevelWidgets())
            open += qobject_cast<const QMessageBox*>(widget) && widget->isVisible();
        EXPECT_EQ(open, 1) << "stacked alerts";
        EXPECT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
        seen << box->text();
        box->button(QMessageBox::Ok)->click();
    });
    clicker.start(5);

    alert.show("Kintone設定が未登録です");
    EXPECT_EQ(seen, QStringList({"Kintone設定が未登録です", "送信完了", "<b>勤務終了</b> & 送信"}));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
