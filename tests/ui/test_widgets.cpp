#include "settings/AuthView.h"
#include "support/WidgetTesting.h"
#include "widgets/MessageBoxAlert.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QHash>
#include <QInputMethodEvent>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <ranges>
#include <string>
#include <tuple>
#include <utility>

// Readable failure messages for colours.
static void PrintTo(const QColor& colour, std::ostream* out) {
    *out << colour.name(QColor::HexArgb).toStdString();
}

namespace {

using namespace stampo;
using namespace stampo::test;

TEST(Form, PlacesEachKindCentredInItsRowRoundingBothEdges) {
    ZUMContainerView form;
    form.resize(300, 60);
    QWidget* row = form.addRow(10, 29.5);
    EXPECT_EQ(row->geometry(), QRect(0, 10, 300, 30));
    form.addInput(row, "subDomain", 10.5, 100);
    EXPECT_EQ(form.addPassword(row, "proxyPassword", 120.5, 59.5)->echoMode(), QLineEdit::Password);
    form.addCombobox(row, "fieldIn", 190, 75);
    form.setRowHeight(39); // taller than the row: a negative y
    form.addButton(row, "ok", "勤務開始", 10, 250);
    // Both edges are rounded, and controls are centred on the row's exact height.
    const std::pair<const char*, QRect> frames[] = {{"subDomain", {11, 5, 100, 20}},
                                                    {"proxyPassword", {121, 5, 59, 20}},
                                                    {"fieldIn", {190, 5, 75, 20}},
                                                    {"ok", {10, -5, 250, 39}}};
    for (const auto& [name, frame] : frames) {
        const QWidget* control = row->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
        EXPECT_EQ(control ? control->geometry() : QRect(), frame) << name;
    }
    // A caption is as wide as its text, shown as it is (not as markup), even beyond the row.
    const ZUMLabel* caption = form.addCaption(row, "caption", "<b>従業員</b>を選択して下さい", 400.5);
    EXPECT_EQ(caption->x(), 401);
    EXPECT_NEAR(caption->y() + caption->height() / 2.0, 29.5 / 2, 1.0);
    EXPECT_NEAR(caption->width(), caption->fontMetrics().horizontalAdvance(caption->text()), 1);
}

// WCAG 2 contrast ratio of two colours: (lighter + 0.05) / (darker + 0.05) of their relative luminances.
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& colour) {
        const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
    };
    const auto [darker, lighter] = std::minmax({luminance(a), luminance(b)});
    return (lighter + 0.05) / (darker + 0.05);
}

// How `area` of `widget` is drawn: its commonest colour is the background, and the text's contrast is that of the
// pixel standing out most from it.
struct Look {
    QColor background;
    double contrast;
};
Look lookOf(QWidget& widget, const QRect& area) {
    const QImage image = widget.grab(area).toImage();
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    const QList<QRgb> colours = counts.keys();
    const QColor background(*std::ranges::max_element(colours, {}, [&](QRgb colour) { return counts[colour]; }));
    const auto against = [&](QRgb colour) { return contrast(background, QColor(colour)); };
    const double most = std::ranges::max(colours | std::views::transform(against));
    return {background, most};
}

// The highlight of `palette`, darkened or lightened: the same hue, and readable text on it.
void expectReadableHighlight(const Look& look, const QPalette& palette, const char* what) {
    SCOPED_TRACE(what);
    const QColor highlight = palette.color(QPalette::Highlight);
    EXPECT_NE(look.background, palette.color(QPalette::Window)) << "not highlighted";
    EXPECT_NEAR(look.background.hslHue(), highlight.hslHue(), 4) << look.background.name().toStdString();
    EXPECT_GE(look.contrast, 4.5) << look.background.name().toStdString();
    if (contrast(highlight, palette.color(QPalette::HighlightedText)) >= 4.5) {
        EXPECT_EQ(look.background, highlight) << "a readable highlight changed";
    }
}

// Expects the item under the pointer, then the current item of the open `list` to be drawn readably on the
// highlight of `palette`.
void expectReadableItems(QAbstractItemView& list, const QPalette& palette) {
    const auto look = [&list](int row) {
        return lookOf(*list.viewport(), list.visualRect(list.model()->index(row, 0)));
    };
    const QPoint pointer = list.visualRect(list.model()->index(1, 0)).center();
    QTest::mouseMove(list.viewport(), pointer);
    expectReadableHighlight(look(1), palette, "item under the pointer");
    QTest::keyClick(&list, Qt::Key_Down);
    const int current = list.currentIndex().row();
    ASSERT_TRUE(current >= 0 && current != 1) << current;
    expectReadableHighlight(look(current), palette, "current item");
}

TEST(Form, ComboboxListsAndTheFocusedBoxAreDrawnOnAReadableHighlightAndTheBoxIsOtherwiseBare) {
    // The style's own highlight, too light for its white text; an orange too light for white text, a blue too dark
    // for black text, and a blue that is readable as it is.
    const std::pair<const char*, const char*> highlights[] = {
        {nullptr, nullptr}, {"#ff8c00", "#ffffff"}, {"#1d3f6e", "#000000"}, {"#0b3d91", "#ffffff"}};
    const QStringList items{"出勤日時", "Work start", "退勤日時", "社員 1005 渡辺 翔", "氏名"};
    const QPalette saved = QApplication::palette();
    for (const auto& [highlight, highlightedText] : highlights) {
        QPalette palette = saved;
        if (highlight) {
            palette.setColor(QPalette::Highlight, QColor(highlight));
            palette.setColor(QPalette::HighlightedText, QColor(highlightedText));
        }
        QApplication::setPalette(palette);
        for (const bool searchable : {false, true}) {
            SCOPED_TRACE(std::string(highlight ? highlight : "the style's") + (searchable ? ", searchable" : ""));
            ZUMContainerView form;
            form.resize(300, 60);
            QWidget* row = form.addRow(10, form.rowHeight() * 1.5);
            ZUMTextField* input = form.addInput(row, "appID", 10, 60);
            ZUMComboBox* combobox = form.addCombobox(row, "fieldIn", 80, 200);
            combobox->addItems(items);
            if (searchable) {
                QList<QVariantMap> entries;
                for (const QString& item : items)
                    entries.append({{"name", item}});
                combobox->setDatasource(entries);
                combobox->setSearchKeys({"name"});
            }
            form.show();
            form.activateWindow();
            const auto focus = [](QWidget* widget) {
                widget->setFocus();
                EXPECT_TRUE(processEventsUntil([&] { return widget->hasFocus(); }));
            };
            focus(input);
            const QRect box(combobox->mapTo(&form, QPoint()), combobox->size());
            // The text is measured in the box's left half, away from the arrow, which is drawn in the text's colour and
            // would stand in for it.
            const QRect text = box.adjusted(0, 0, -box.width() / 2, 0);
            const auto expectBare = [&] {
                const QImage bare = form.grab(box).toImage();
                const Look unfocused = lookOf(form, text);
                EXPECT_EQ(unfocused.background, palette.color(QPalette::Window)) << "a fill";
                for (int x = 0; x < bare.width(); ++x)
                    for (const int y : {0, bare.height() - 1})
                        ASSERT_EQ(QColor(bare.pixel(x, y)), unfocused.background) << "a frame at " << x << "," << y;
                EXPECT_GE(unfocused.contrast, 4.5);
            };
            expectBare();

            focus(combobox);
            expectReadableHighlight(lookOf(form, text), palette, "focused box");
            if (searchable) {
                // Selected text stands out on the highlight too: the block behind it is not the box's fill.
                QLineEdit& edit = *combobox->lineEdit();
                edit.selectAll();
                const QRect from = edit.inputMethodQuery(Qt::ImAnchorRectangle).toRect();
                const QRect to = edit.inputMethodQuery(Qt::ImCursorRectangle).toRect();
                const QRect selected(QPoint(from.center().x() + 1, from.top() + 2),
                                     QPoint(to.center().x() - 1, to.bottom() - 2));
                const Look selection = lookOf(form, selected.translated(edit.mapTo(&form, QPoint())));
                edit.deselect();
                EXPECT_NE(selection.background, lookOf(form, text).background) << "unseen";
                EXPECT_GE(selection.contrast, 4.5);
            }

            combobox->showPopup();
            ASSERT_TRUE(processEventsUntil([&] { return combobox->view()->isVisible(); }));
            expectReadableItems(*combobox->view(), palette);
            combobox->hidePopup();
            if (searchable) {
                combobox->clearEditText();
                QInputMethodEvent typed;
                typed.setCommitString("日時");
                QApplication::sendEvent(combobox, &typed);
                QAbstractItemView* suggestions = combobox->completer()->popup();
                ASSERT_TRUE(processEventsUntil([&] { return suggestions->isVisible(); }));
                ASSERT_EQ(suggestions->model()->rowCount(), 2);
                expectReadableItems(*suggestions, palette);
                suggestions->hide();
            }
            focus(input);
            expectBare();
        }
    }
    QApplication::setPalette(saved);
}

// Over the auth-code form: two inputs, then the buttons "ok" (which alerts while the login name is empty) and "cancel".
TEST(FormWindow, FixedAboveOthersAppearsCentredAtEveryShowingTakesEnterAndEscapeAndQueuesItsAlertsOneByOne) {
    const auto alert = std::make_shared<RecordingAlert>();
    Notifications notifications;
    FormWindow window(new AuthView(alert, &notifications), "認証コード生成", false);
    const ZUMContainerView& form = *window.controller()->container();
    QLineEdit* const name = form.input().value("loginName");
    const Qt::WindowFlags top = Qt::WindowStaysOnTopHint, close = Qt::WindowCloseButtonHint;
    EXPECT_EQ(window.windowFlags() & (top | close | Qt::WindowMaximizeButtonHint), top | close);
    EXPECT_EQ(std::pair(window.minimumSize(), window.maximumSize()), std::pair(QSize(295, 108), QSize(295, 108)));
    const auto expectPresented = [&] {
        window.move(0, 0);
        window.showMinimized();
        window.present();
        EXPECT_TRUE(window.isVisible() && !window.isMinimized());
        EXPECT_LE((window.frameGeometry().center() - window.screen()->availableGeometry().center()).manhattanLength(),
                  2);
        EXPECT_TRUE(processEventsUntil([&] { return QApplication::focusWidget() == name; }));
    };
    expectPresented();

    // Enter in an input runs "ok" unless a modifier is held.
    QLineEdit* const password = form.password().value("loginPassword");
    QTest::keyClick(password, Qt::Key_Return);
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"ログイン名を入力して下さい"});
    QTest::keyClick(password, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(alert->messages().size(), 1u);
    // On screen already, the form appears again all the same: it empties its inputs.
    name->setText("user");
    expectPresented();
    EXPECT_EQ(name->text(), "");
    // Enter on a button runs that button.
    form.button().value("cancel")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(window.isVisible());
    expectPresented();

    QTest::keyClick(name, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(alert->messages().size(), 1u);

    // Alerts asked while one is open follow one another above the active form, with the keyboard.
    window.present();
    ASSERT_TRUE(processEventsUntil([&] { return QApplication::activeWindow() == &window; }));
    MessageBoxAlert alerts;
    int asked = 1;
    const auto ask = [&](const char* message) {
        ++asked;
        alerts.show(message);
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
        const auto open = std::ranges::count_if(QApplication::topLevelWidgets(), [](const QWidget* widget) {
            return qobject_cast<const QMessageBox*>(widget) && widget->isVisible();
        });
        // Alone (not stacked), with one button, its text as it is, modal, and above the form it blocks, whatever the
        // window manager does with transients, and with the keyboard. The first belongs to the active form; the later
        // ones open when no window is active yet.
        EXPECT_EQ(std::tuple(open, box->buttons().size(), box->textFormat(), box->windowModality(),
                             box->windowFlags().testFlag(Qt::WindowStaysOnTopHint)),
                  std::tuple(1, 1, Qt::PlainText, Qt::ApplicationModal, true));
        if (seen.isEmpty()) {
            EXPECT_EQ(box->windowHandle()->transientParent(), window.windowHandle());
        }
        if (QApplication::activeWindow() != box)
            return;
        seen << box->text();
        box->button(QMessageBox::Ok)->click();
    });
    clicker.start(5);

    alerts.show("Kintone設定が未登録です");
    EXPECT_EQ(seen, QStringList({"Kintone設定が未登録です", "送信完了", "<b>勤務終了</b> & 送信"}));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
