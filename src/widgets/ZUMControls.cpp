#include "widgets/ZUMControls.h"

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>
#include <cmath>

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
    // The user can only pick one of the listed items. The list is given its own palette: styles that show it as a
    // menu give it the menus' palette rather than the box's.
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

QString ZUMComboBox::selectedValue(const QString& key) const {
    const qsizetype index = currentIndex();
    if (index < 0 || index >= m_datasource.size())
        return {};
    const QVariant value = m_datasource.at(index).value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace stampo
