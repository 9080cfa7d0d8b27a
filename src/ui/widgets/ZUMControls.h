#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace stampo {

class ZUMContainerView;

// The named controls of the form kit. Each is made only by ZUMContainerView, which sets its name (also its Qt
// object name, so tests and code find it by name).

class ZUMButton final : public QPushButton {
    Q_OBJECT
public:
    const QString& name() const { return m_name; }

private:
    friend class ZUMContainerView;
    explicit ZUMButton(QWidget* parent);
    QString m_name;
};

class ZUMLabel final : public QLabel {
    Q_OBJECT
public:
    const QString& name() const { return m_name; }

private:
    friend class ZUMContainerView;
    explicit ZUMLabel(QWidget* parent);
    QString m_name;
};

class ZUMTextField final : public QLineEdit {
    Q_OBJECT
public:
    const QString& name() const { return m_name; }

private:
    friend class ZUMContainerView;
    explicit ZUMTextField(QWidget* parent);
    QString m_name;
};

class ZUMSecureTextField final : public QLineEdit {
    Q_OBJECT
public:
    const QString& name() const { return m_name; }

private:
    friend class ZUMContainerView;
    explicit ZUMSecureTextField(QWidget* parent);
    QString m_name;
};

// A combo box whose items come with a data source: one text-keyed map per item, in item order. The user picks one
// of the items; a searchable box also takes typed text to narrow its list. It draws no frame or fill of its own on
// the form, except the highlight while it has the keyboard focus; its lists and the box use a highlight that keeps
// the highlighted text readable.
class ZUMComboBox final : public QComboBox {
    Q_OBJECT
public:
    const QString& name() const { return m_name; }

    const QList<QVariantMap>& datasource() const { return m_datasource; }
    void setDatasource(QList<QVariantMap> datasource) { m_datasource = std::move(datasource); }

    // Lets the user type into the box: a list then offers the items whose entry holds the typed text, in any case,
    // in the value under one of `keys`. Typing never adds an item.
    void setSearchKeys(const QStringList& keys);

    // The selected item's index; -1 when nothing is selected or the box shows a typed text instead of the item.
    int selectedIndex() const;
    // The value under `key` of the selected item's entry; the empty text when nothing is selected, the data
    // source has no entry for the selection, or the value is not a text.
    QString selectedValue(const QString& key) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    friend class ZUMContainerView;
    explicit ZUMComboBox(QWidget* parent);
    // Gives the typed text the colours the box is painted in.
    void updateTextColours();

    QString m_name;
    QList<QVariantMap> m_datasource;
};

} // namespace stampo
