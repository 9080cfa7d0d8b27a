#include "widgets/ZUMContainerView.h"

#include "widgets/RowGeometry.h"

#include <QApplication>
#include <QFontInfo>

namespace stampo {

namespace {

// Rows remember the height they were asked for, so that controls are centred on it rather than on the
// rounded height the row was given.
constexpr char exactHeightProperty[] = "stampoExactHeight";

qreal exactHeight(const QWidget* row) {
    const QVariant exact = row->property(exactHeightProperty);
    return exact.isValid() ? exact.toReal() : row->height();
}

QRect pixelRect(qreal x, qreal y, qreal width, qreal height) {
    const PixelSpan horizontal = pixelSpan(x, width);
    const PixelSpan vertical = pixelSpan(y, height);
    return {horizontal.start, vertical.start, horizontal.length, vertical.length};
}

// Centres `control` vertically in `row` at `x` with the given size and shows it there.
void place(QWidget* control, QWidget* row, const QString& name, qreal x, qreal width, qreal height) {
    control->setObjectName(name);
    control->setGeometry(pixelRect(x, centredY(exactHeight(row), height), width, height));
    control->show();
}

} // namespace

ZUMContainerView::ZUMContainerView(QWidget* parent)
    : QWidget(parent)
    , m_rowHeight(rowHeightForFont(fontSize())) {}

qreal ZUMContainerView::fontSize() {
    return QFontInfo(QApplication::font()).pixelSize();
}

QWidget* ZUMContainerView::addRow(qreal top, qreal height) {
    auto* row = new QWidget(this);
    row->setProperty(exactHeightProperty, height);
    row->setGeometry(pixelRect(0, top, width(), height));
    row->show();
    return row;
}

ZUMLabel* ZUMContainerView::addCaption(QWidget* row, const QString& name, const QString& text, qreal x) {
    auto* caption = new ZUMLabel(row);
    caption->setText(text);
    const QSize fitted = caption->sizeHint();
    place(caption, row, name, x, fitted.width(), fitted.height());
    m_caption.insert(name, caption);
    return caption;
}

ZUMTextField* ZUMContainerView::addInput(QWidget* row, const QString& name, qreal x, qreal width) {
    auto* input = new ZUMTextField(row);
    input->m_name = name;
    place(input, row, name, x, width, m_rowHeight);
    m_input.insert(name, input);
    return input;
}

ZUMSecureTextField* ZUMContainerView::addPassword(QWidget* row, const QString& name, qreal x, qreal width) {
    auto* password = new ZUMSecureTextField(row);
    password->m_name = name;
    place(password, row, name, x, width, m_rowHeight);
    m_password.insert(name, password);
    return password;
}

ZUMComboBox* ZUMContainerView::addCombobox(QWidget* row, const QString& name, qreal x, qreal width) {
    auto* combobox = new ZUMComboBox(row);
    combobox->m_name = name;
    place(combobox, row, name, x, width, m_rowHeight);
    m_combobox.insert(name, combobox);
    return combobox;
}

ZUMButton* ZUMContainerView::addButton(QWidget* row, const QString& name, const QString& title, qreal x, qreal width) {
    auto* button = new ZUMButton(row);
    button->m_name = name;
    button->setText(title);
    place(button, row, name, x, width, m_rowHeight);
    m_button.insert(name, button);
    return button;
}

} // namespace stampo
