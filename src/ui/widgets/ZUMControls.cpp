#include "widgets/ZUMControls.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QIdentityProxyModel>
#include <QItemDelegate>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>
#include <cmath>
#include <utility>

namespace stampo {
namespace {

// The contrast WCAG asks of normal text against its background.
constexpr double readableContrast = 4.5;

// WCAG relative luminance.
double luminance(const QColor& colour) {
    const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    const double first = luminance(a);
    const double second = luminance(b);
    return (std::max(first, second) + 0.05) / (std::min(first, second) + 0.05);
}

// `background` with its lightness moved away from `text` a step at a time, hue and saturation kept, until the text
// on it is readable; the common styles' highlights are too light for their white text.
QColor readableBehind(const QColor& text, const QColor& background) {
    const QColor hsl = background.toHsl();
    const int step = luminance(text) > luminance(background) ? -1 : 1;
    QColor result = background;
    for (int lightness = hsl.lightness() + step;
         contrast(text, result) < readableContrast && lightness >= 0 && lightness <= 255; lightness += step)
        result = QColor::fromHsl(hsl.hslHue(), hsl.hslSaturation(), lightness, hsl.alpha());
    return result;
}

// `palette` with a highlight its highlighted text is readable on, in the groups a shown list or box uses.
QPalette withReadableHighlight(QPalette palette) {
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(
            group, QPalette::Highlight,
            readableBehind(palette.color(group, QPalette::HighlightedText), palette.color(group, QPalette::Highlight)));
    return palette;
}

// Rows a list shows at most before it scrolls; thousands of employees would fill the screen.
constexpr int visibleRows = 15;

// The role under which a searchable box's completer finds the searched values of an item's entry.
constexpr int searchRole = Qt::UserRole + 1;

// The box's items with, under searchRole, the values of their entries under the searched keys, one a line: the
// typed text cannot hold a line break, so it is found within one value.
class SearchModel final : public QIdentityProxyModel {
public:
    SearchModel(const ZUMComboBox& box, QStringList keys, QObject* parent)
        : QIdentityProxyModel(parent)
        , m_box(box)
        , m_keys(std::move(keys)) {
        setSourceModel(box.model());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (role != searchRole)
            return QIdentityProxyModel::data(index, role);
        const QVariantMap entry = m_box.datasource().value(index.row());
        QStringList values;
        for (const QString& key : m_keys)
            values << entry.value(key).toString();
        return values.join(u'\n');
    }

private:
    const ZUMComboBox& m_box;
    const QStringList m_keys;
};

// Searches under searchRole but completes with the item's text, which is what the box shows for the item.
class ItemCompleter final : public QCompleter {
public:
    using QCompleter::QCompleter;
    QString pathFromIndex(const QModelIndex& index) const override { return index.data(Qt::DisplayRole).toString(); }
};

// Draws the items of a searchable box's lists: the item under the pointer as selected, as a menu-like list does
// (only in looks: selecting a suggestion puts its text into the box, replacing what the user is typing), and no
// focus frame, which the selection already shows and which some styles lay translucently over the item's text.
class ListItemDelegate final : public QItemDelegate {
public:
    using QItemDelegate::QItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem item(option);
        if (item.state.testFlag(QStyle::State_MouseOver))
            item.state |= QStyle::State_Selected;
        item.state &= ~QStyle::State_HasFocus;
        QItemDelegate::paint(painter, item, index);
    }
};

} // namespace

ZUMButton::ZUMButton(QWidget* parent)
    : QPushButton(parent) {}

ZUMLabel::ZUMLabel(QWidget* parent)
    : QLabel(parent) {
    // Captions show their text as it is, never as markup.
    setTextFormat(Qt::PlainText);
}

ZUMTextField::ZUMTextField(QWidget* parent)
    : QLineEdit(parent) {}

ZUMSecureTextField::ZUMSecureTextField(QWidget* parent)
    : QLineEdit(parent) {
    setEchoMode(QLineEdit::Password);
}

ZUMComboBox::ZUMComboBox(QWidget* parent)
    : QComboBox(parent) {
    // Until made searchable, the user can only pick one of the listed items. The list is given its own palette:
    // styles that show it as a menu give it the menus' palette rather than the box's.
    setEditable(false);
    setFrame(false);
    setPalette(withReadableHighlight(palette()));
    view()->setPalette(withReadableHighlight(view()->palette()));
}

void ZUMComboBox::paintEvent(QPaintEvent*) {
    // Only the text and the arrow, without the style's bevel, which a transparent palette would turn black; with
    // the focus on the highlight, so that the keyboard's place is seen before an arrow key changes the choice.
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const bool focused = hasFocus();
    if (focused)
        painter.fillRect(rect(), option.palette.highlight());
    const QColor text = option.palette.color(focused ? QPalette::HighlightedText : QPalette::WindowText);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        option.palette.setColor(role, text);
    painter.setPen(text);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    QStyleOption arrow(option);
    arrow.rect = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, this);
    painter.drawPrimitive(QStyle::PE_IndicatorArrowDown, arrow);
}

void ZUMComboBox::focusInEvent(QFocusEvent* event) {
    QComboBox::focusInEvent(event);
    updateTextColours();
}

void ZUMComboBox::focusOutEvent(QFocusEvent* event) {
    QComboBox::focusOutEvent(event);
    updateTextColours();
}

void ZUMComboBox::updateTextColours() {
    QLineEdit* edit = lineEdit();
    if (!edit)
        return;
    // The line edit fills nothing itself, so it shows what the box paints. On the highlight, selected text takes the
    // highlight's colours swapped, or it would not stand out.
    const bool focused = hasFocus();
    QPalette colours = palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QColor fill = palette().color(group, QPalette::Highlight);
        const QColor text = palette().color(group, focused ? QPalette::HighlightedText : QPalette::WindowText);
        colours.setColor(group, QPalette::Base, Qt::transparent);
        colours.setColor(group, QPalette::Text, text);
        if (focused) {
            colours.setColor(group, QPalette::Highlight, text);
            colours.setColor(group, QPalette::HighlightedText, fill);
        }
    }
    edit->setPalette(colours);
}

void ZUMComboBox::setSearchKeys(const QStringList& keys) {
    // The box keeps the focus and hands keys and input method text to its line edit; it takes input methods
    // from the moment it is editable.
    setEditable(true);
    // Enter takes the typed text as it is, as in any line edit, and goes on to the window's default action.
    setInsertPolicy(QComboBox::NoInsert);
    setMaxVisibleItems(visibleRows);
    setItemDelegate(new ListItemDelegate(view()));
    auto* completer = new ItemCompleter(this);
    completer->setModel(new SearchModel(*this, keys, completer));
    completer->setCompletionRole(searchRole);
    completer->setFilterMode(Qt::MatchContains);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setMaxVisibleItems(visibleRows);
    // The box maps the chosen suggestion back to its own item, so the entry is the item's even where names repeat.
    setCompleter(completer);
    QAbstractItemView* suggestions = completer->popup();
    suggestions->setPalette(withReadableHighlight(suggestions->palette()));
    suggestions->setItemDelegate(new ListItemDelegate(suggestions));
    suggestions->viewport()->setAttribute(Qt::WA_Hover);
    updateTextColours();
}

int ZUMComboBox::selectedIndex() const {
    const int index = currentIndex();
    // A typed text names no item, even while the item picked before it is still the current one.
    return isEditable() && currentText() != itemText(index) ? -1 : index;
}

QString ZUMComboBox::selectedValue(const QString& key) const {
    const qsizetype index = selectedIndex();
    if (index < 0 || index >= m_datasource.size())
        return {};
    const QVariant value = m_datasource.at(index).value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace stampo
