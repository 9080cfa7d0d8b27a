#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/MessageBoxAlert.h"
#include "widgets/ZUMContainerView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace {

using namespace stampo;
using stampo::test::processEventsUntil;

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

// Records what FormWindow asks of its view controller; its form has two inputs and the buttons "ok" and "cancel".
class Probe final : public ViewController {
public:
    using ViewController::closeWindow;

    void loadView() override {
        makeContainer(275)->resize(275, 120);
        calls << "loadView";
    }
    void viewDidLoad() override {
        QWidget* row = container()->addRow(10, 30);
        container()->addCaption(row, "firstCaption", "ログイン名", 0);
        container()->addInput(row, "first", 80, 60);
        container()->addInput(row, "second", 150, 60);
        row = container()->addRow(40, 30);
        for (const char* name : {"ok", "cancel"})
            connect(container()->addButton(row, name, name, name[0] == 'o' ? 0 : 130, 120), &QPushButton::clicked, this,
                    [this, name] { calls << name; });
        calls << "viewDidLoad";
    }
    void viewDidAppear() override { calls << "viewDidAppear"; }

    QStringList calls;
};

void press(QWidget* target, int key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

TEST(FormWindow, FixedAboveOthersAppearsCentredAtEveryShowingAndTakesEnterAndEscape) {
    auto* probe = new Probe; // the window takes it as its child
    FormWindow window(probe, "勤務開始", false);
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_EQ(window.minimumSize(), QSize(275, 120));
    EXPECT_EQ(window.maximumSize(), QSize(275, 120));
    window.present();
    EXPECT_TRUE(probe->isVisible());
    EXPECT_LE((window.frameGeometry().center() - window.screen()->availableGeometry().center()).manhattanLength(), 2);
    ZUMTextField* first = probe->container()->input().value("first");
    ASSERT_TRUE(processEventsUntil([&] { return QApplication::focusWidget() == first; }));

    // Enter in an input runs "ok", Enter on a button runs that button, Escape closes like "cancel".
    probe->container()->input().value("second")->setFocus();
    press(QApplication::focusWidget(), Qt::Key_Return);
    probe->container()->button().value("cancel")->setFocus();
    press(QApplication::focusWidget(), Qt::Key_Enter);
    EXPECT_TRUE(window.isVisible());
    press(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());

    window.present();
    window.present(); // on screen already: the form appears again all the same
    EXPECT_EQ(probe->calls, QStringList({"loadView", "viewDidLoad", "viewDidAppear", "ok", "cancel", "viewDidAppear",
                                         "viewDidAppear"}));
    EXPECT_TRUE(processEventsUntil([&] { return QApplication::focusWidget() == first; }));

    const QPointer<Probe> freed = new Probe;
    const QPointer<FormWindow> freeing = new FormWindow(freed, "認証コード生成", true, &window);
    freeing->present();
    // It stays above what opened it; X11 marks only dialogs as transient.
    EXPECT_EQ(freeing->windowHandle()->transientParent(), window.windowHandle());
    EXPECT_EQ(freeing->windowType(), Qt::Dialog);
    freed->closeWindow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(freeing.isNull() && freed.isNull()) << "delete on close";
}

TEST(MessageBoxAlert, AlertsAskedWhileOneIsOpenFollowOneAnotherAboveTheActiveFormWithTheKeyboard) {
    FormWindow form(new Probe, "Kintone設定", false);
    form.present();
    ASSERT_TRUE(processEventsUntil([&] { return QApplication::activeWindow() == &form; }));
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
        // Above the form it blocks, whatever the window manager does with transients, and with the keyboard. The
        // first belongs to the active form; the later ones open when no window is active yet.
        EXPECT_TRUE(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        if (seen.isEmpty()) {
            EXPECT_EQ(box->windowHandle()->transientParent(), form.windowHandle());
        }
        if (QApplication::activeWindow() != box)
            return;
        seen << box->text();
        box->button(QMessageBox::Ok)->click();
    });
    clicker.start(5);

    alert.show("Kintone設定が未登録です");
    EXPECT_EQ(seen, QStringList({"Kintone設定が未登録です", "送信完了", "<b>勤務終了</b> & 送信"}));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    form.close();
}

} // namespace
