#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/MessageBoxAlert.h"
#include "widgets/RowGeometry.h"
#include "widgets/ZUMContainerView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <vector>

// Readable failure messages for texts.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

using namespace stampo;

TEST(RowGeometry, CentresControlsAndStacksRowsOnWholePixels) {
    EXPECT_DOUBLE_EQ(rowHeightForFont(13), 19.5);
    EXPECT_DOUBLE_EQ(centredY(29.25, 19.5), 4.875);
    EXPECT_DOUBLE_EQ(centredY(29.25, 39), -4.875);
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

// The figures of the forms assume a 13-pixel application font.
struct AppFont13 {
    AppFont13() {
        QFont font = QApplication::font();
        font.setPixelSize(13);
        QApplication::setFont(font);
    }
};

class Form : public ::testing::Test {
protected:
    void SetUp() override {
        m_view.resize(300, 60);
        m_row = m_view.addRow(10, m_view.rowHeight() * 1.5);
    }

    AppFont13 m_font;
    ZUMContainerView m_view;
    QWidget* m_row = nullptr;
};

TEST_F(Form, PlacesEachKindCentredInItsRow) {
    EXPECT_EQ(ZUMContainerView::fontSize(), 13);
    EXPECT_DOUBLE_EQ(m_view.rowHeight(), 19.5);
    EXPECT_EQ(m_row->geometry(), QRect(0, 10, 300, 29));

    ZUMTextField* input = m_view.addInput(m_row, "subDomain", 10.5, 100);
    ZUMSecureTextField* password = m_view.addPassword(m_row, "proxyPassword", 120, 60);
    ZUMComboBox* combobox = m_view.addCombobox(m_row, "fieldIn", 190, 75);
    m_view.setRowHeight(ZUMContainerView::fontSize() * 3.0);
    ZUMButton* button = m_view.addButton(m_row, "ok", "勤務開始", 10, 250);

    struct Case {
        QWidget* control;
        QString name;
        QWidget* inTable;
        QRect frame;
    };
    const std::vector<Case> cases = {
        {input, input->name(), m_view.input().value("subDomain"), {11, 5, 100, 19}},
        {password, password->name(), m_view.password().value("proxyPassword"), {120, 5, 60, 19}},
        {combobox, combobox->name(), m_view.combobox().value("fieldIn"), {190, 5, 75, 19}},
        // Taller than its row: a negative y.
        {button, button->name(), m_view.button().value("ok"), {10, -5, 250, 39}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.inTable, c.control) << c.name.toStdString();
        EXPECT_EQ(c.control->objectName(), c.name);
        EXPECT_EQ(c.control->parent(), m_row) << c.name.toStdString();
        EXPECT_EQ(c.control->geometry(), c.frame) << c.name.toStdString();
    }
}

TEST_F(Form, CaptionIsAsWideAsItsTextWhereverItStands) {
    for (const QString text : {"ID", "従業員を選択して下さい"}) {
        for (const qreal x : {0.0, 10.5, 400.0}) {
            const ZUMLabel* caption = m_view.addCaption(m_row, "caption", text, x);
            EXPECT_EQ(caption->width(), caption->fontMetrics().horizontalAdvance(text)) << x;
            EXPECT_EQ(caption->x(), qFloor(x + 0.5));
            EXPECT_NEAR(caption->y() + caption->height() / 2.0, 29.25 / 2, 1.0);
            EXPECT_TRUE(caption->name().isEmpty());
            EXPECT_EQ(caption->objectName(), "caption");
        }
    }
}

TEST_F(Form, SameNameReplacesTheTableEntryAndKeepsBothShown) {
    struct Kind {
        std::function<QWidget*()> add;
        std::function<QWidget*()> inTable;
    };
    const std::vector<Kind> kinds = {
        {[&] { return m_view.addCaption(m_row, "n", "名前", 0); }, [&] { return m_view.caption().value("n"); }},
        {[&] { return m_view.addInput(m_row, "n", 0, 50); }, [&] { return m_view.input().value("n"); }},
        {[&] { return m_view.addPassword(m_row, "n", 0, 50); }, [&] { return m_view.password().value("n"); }},
        {[&] { return m_view.addCombobox(m_row, "n", 0, 50); }, [&] { return m_view.combobox().value("n"); }},
        {[&] { return m_view.addButton(m_row, "n", "OK", 0, 50); }, [&] { return m_view.button().value("n"); }},
    };
    for (const Kind& kind : kinds) {
        const QPointer<QWidget> first = kind.add();
        const QPointer<QWidget> second = kind.add();
        ASSERT_TRUE(first && second && first != second);
        EXPECT_EQ(kind.inTable(), second.data());
        EXPECT_TRUE(first->isVisibleTo(m_row));
        EXPECT_TRUE(second->isVisibleTo(m_row));
    }
}

TEST_F(Form, SelectedValueReadsTheSelectedEntryOrNothing) {
    ZUMComboBox* combobox = m_view.addCombobox(m_row, "keepUser", 10, 250);
    EXPECT_TRUE(combobox->datasource().isEmpty());
    const QList<QVariantMap> two = {{{"name", "佐藤"}, {"code", "sato"}},
                                    {{"name", "鈴木"}, {"code", "suzuki"}, {"number", 5}}};
    struct Case {
        const char* what;
        QStringList items;
        QList<QVariantMap> datasource;
        int index;
        QString key;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"selection", {"佐藤", "鈴木"}, two, 1, "code", "suzuki"},
        {"no selection", {"佐藤", "鈴木"}, two, -1, "code", ""},
        {"empty datasource", {"佐藤", "鈴木"}, {}, 0, "code", ""},
        {"selection beyond the datasource", {"佐藤", "鈴木", "田中"}, two, 2, "code", ""},
        {"value not a text", {"佐藤", "鈴木"}, two, 1, "number", ""},
        {"key missing", {"佐藤", "鈴木"}, two, 0, "mail", ""},
    };
    for (const Case& c : cases) {
        combobox->clear();
        combobox->addItems(c.items);
        combobox->setDatasource(c.datasource);
        combobox->setCurrentIndex(c.index);
        EXPECT_EQ(combobox->selectedValue(c.key), c.expected) << c.what;
    }
}

TEST_F(Form, ComboboxTakesNoTypedText) {
    ZUMComboBox* combobox = m_view.addCombobox(m_row, "fieldUser", 10, 250);
    combobox->addItems({"社員", "担当"});
    QKeyEvent typed(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
    QApplication::sendEvent(combobox, &typed);
    EXPECT_EQ(combobox->lineEdit(), nullptr);
    EXPECT_EQ(combobox->count(), 2);
    EXPECT_EQ(combobox->currentText(), "社員");
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

TEST(FormWindow, BuildsOnceAndAppearsAtEveryShowing) {
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
    const QPointer<FormWindow> window = new FormWindow(probe, "認証コード生成", true); // frees itself on close
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
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
        EXPECT_TRUE(box->informativeText().isEmpty());
        seen << box->text();
        box->button(QMessageBox::Ok)->click();
    });
    clicker.start(5);

    alert.show("Kintone設定が未登録です");
    EXPECT_EQ(seen, QStringList({"Kintone設定が未登録です", "送信完了", "<b>勤務終了</b> & 送信"}));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
