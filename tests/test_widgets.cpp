#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/MessageBoxAlert.h"
#include "widgets/RowGeometry.h"
#include "widgets/ZUMContainerView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <utility>

namespace {

using namespace stampo;

TEST(RowGeometry, CentresControlsAndStacksRowsOnWholePixels) {
    EXPECT_DOUBLE_EQ(centredY(29.25, 19.5), 4.875);
    // Rows of 29.25 stacked from 10 meet without gaps or overlaps and end where the exact sum ends.
    int end = 10;
    for (int i = 0; i < 8; ++i) {
        const PixelSpan row = pixelSpan(10 + i * 29.25, 29.25);
        EXPECT_EQ(row.start, end) << i;
        EXPECT_NEAR(row.length, 29.25, 1) << i;
        end = row.start + row.length;
    }
    EXPECT_EQ(end, 10 + 234);
}

// A 300-wide form with one row of 1.5 control heights at 10.
class Form : public ::testing::Test {
protected:
    Form() {
        m_view.resize(300, 60);
        m_row = m_view.addRow(10, m_view.rowHeight() * 1.5);
    }

    ZUMContainerView m_view;
    QWidget* m_row;
};

TEST_F(Form, PlacesEachKindCentredInItsRowAndFitsCaptions) {
    EXPECT_DOUBLE_EQ(m_view.rowHeight(), 19.5);
    EXPECT_EQ(m_row->geometry(), QRect(0, 10, 300, 29));
    m_view.addInput(m_row, "subDomain", 10.5, 100);
    EXPECT_EQ(m_view.addPassword(m_row, "proxyPassword", 120, 60)->echoMode(), QLineEdit::Password);
    m_view.addCombobox(m_row, "fieldIn", 190, 75);
    m_view.setRowHeight(39); // taller than the row: a negative y
    m_view.addButton(m_row, "ok", "勤務開始", 10, 250);
    const std::pair<const char*, QRect> frames[] = {{"subDomain", {11, 5, 100, 19}},
                                                    {"proxyPassword", {120, 5, 60, 19}},
                                                    {"fieldIn", {190, 5, 75, 19}},
                                                    {"ok", {10, -5, 250, 39}}};
    for (const auto& [name, frame] : frames) {
        const QWidget* control = m_row->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
        ASSERT_TRUE(control) << name;
        EXPECT_EQ(control->geometry(), frame) << name;
    }
    // A caption is as wide as its text, even beyond the row, and centred on the row's exact height.
    const ZUMLabel* caption = m_view.addCaption(m_row, "caption", "従業員を選択して下さい", 400.5);
    EXPECT_EQ(caption->x(), 401);
    EXPECT_NEAR(caption->y() + caption->height() / 2.0, 29.25 / 2, 1.0);
    EXPECT_EQ(caption->width(), caption->fontMetrics().horizontalAdvance(caption->text()));
}

TEST_F(Form, SameNameReplacesTheTableEntryAndKeepsBothShown) {
    const std::pair<std::function<QWidget*()>, std::function<QWidget*()>> kinds[] = {
        {[&] { return m_view.addCaption(m_row, "n", "名前", 0); }, [&] { return m_view.caption().value("n"); }},
        {[&] { return m_view.addInput(m_row, "n", 0, 50); }, [&] { return m_view.input().value("n"); }},
        {[&] { return m_view.addPassword(m_row, "n", 0, 50); }, [&] { return m_view.password().value("n"); }},
        {[&] { return m_view.addCombobox(m_row, "n", 0, 50); }, [&] { return m_view.combobox().value("n"); }},
        {[&] { return m_view.addButton(m_row, "n", "OK", 0, 50); }, [&] { return m_view.button().value("n"); }}};
    for (const auto& [add, inTable] : kinds) {
        const QPointer<QWidget> first = add();
        const QPointer<QWidget> second = add();
        ASSERT_TRUE(first && second && first != second);
        EXPECT_EQ(inTable(), second.data());
        EXPECT_TRUE(first->isVisibleTo(m_row) && second->isVisibleTo(m_row));
    }
}

TEST_F(Form, ComboboxIsNotEditableAndReadsTheSelectedEntryOrNothing) {
    ZUMComboBox* combobox = m_view.addCombobox(m_row, "keepUser", 10, 250);
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
        calls << "loadView";
        makeContainer(275)->resize(275, 120);
    }
    void viewDidLoad() override { calls << (container() ? "viewDidLoad" : "viewDidLoad without container"); }
    void viewDidAppear() override { calls << "viewDidAppear"; }

    QStringList calls;
};

TEST(FormWindow, BuildsOnceAndAppearsCentredAtEveryShowing) {
    auto* probe = new Probe; // the window takes it as its child
    FormWindow window(probe, "勤務開始", false);
    EXPECT_EQ(probe->calls, QStringList({"loadView", "viewDidLoad"}));
    EXPECT_EQ(window.windowTitle(), "勤務開始");
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
}

TEST(FormWindow, DeleteOnCloseFreesWindowAndForm) {
    const QPointer<Probe> probe = new Probe;
    const QPointer<FormWindow> window = new FormWindow(probe, "認証コード生成", true);
    window->present();
    probe->closeWindow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull());
    EXPECT_TRUE(probe.isNull());
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
