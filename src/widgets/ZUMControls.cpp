#include "widgets/ZUMControls.h"

namespace stampo {

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
    // The user can only pick one of the listed items; the box sits on the form without a frame or a fill. A
    // transparent palette is not enough: the styles paint their bevel from it and come out black. The fill is
    // cleared only while the list is closed, because the open list takes its colours from the box.
    setEditable(false);
    setFrame(false);
    setStyleSheet(QStringLiteral("QComboBox { border: none; padding-left: 3px; }"
                                 "QComboBox:!on { background: transparent; }"));
}

QString ZUMComboBox::selectedValue(const QString& key) const {
    const qsizetype index = currentIndex();
    if (index < 0 || index >= m_datasource.size())
        return {};
    const QVariant value = m_datasource.at(index).value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace stampo
