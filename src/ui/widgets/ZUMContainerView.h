#pragma once

#include "widgets/ZUMControls.h"

#include <QMap>
#include <QString>
#include <QWidget>

namespace stampo {

// The root view of every form: stacks rows from the top (Qt's origin is already top-left) and makes the named
// controls, centred vertically in their row, keeping a table of each kind by name.
class ZUMContainerView final : public QWidget {
    Q_OBJECT
public:
    explicit ZUMContainerView(QWidget* parent = nullptr);

    // Height given to every control made after this point; starts at 1.5 x the application font's pixel size.
    qreal rowHeight() const { return m_rowHeight; }
    void setRowHeight(qreal height) { m_rowHeight = height; }
    // The application font's pixel size, which the forms' row heights are multiples of.
    static qreal fontSize();

    // A plain row view across the container's width at `top`.
    QWidget* addRow(qreal top, qreal height);

    ZUMLabel* addCaption(QWidget* row, const QString& name, const QString& text, qreal x);
    ZUMTextField* addInput(QWidget* row, const QString& name, qreal x, qreal width);
    ZUMSecureTextField* addPassword(QWidget* row, const QString& name, qreal x, qreal width);
    ZUMComboBox* addCombobox(QWidget* row, const QString& name, qreal x, qreal width);
    ZUMButton* addButton(QWidget* row, const QString& name, const QString& title, qreal x, qreal width);

    // The tables by name; a later control of the same kind and name replaces the entry (the old one stays shown).
    const QMap<QString, ZUMButton*>& button() const { return m_button; }
    const QMap<QString, ZUMLabel*>& caption() const { return m_caption; }
    const QMap<QString, ZUMComboBox*>& combobox() const { return m_combobox; }
    const QMap<QString, ZUMTextField*>& input() const { return m_input; }
    const QMap<QString, ZUMSecureTextField*>& password() const { return m_password; }

private:
    qreal m_rowHeight;
    QMap<QString, ZUMButton*> m_button;
    QMap<QString, ZUMLabel*> m_caption;
    QMap<QString, ZUMComboBox*> m_combobox;
    QMap<QString, ZUMTextField*> m_input;
    QMap<QString, ZUMSecureTextField*> m_password;
};

} // namespace stampo
