#include "widgets/FormWindow.h"

#include "widgets/ZUMContainerView.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QScreen>

namespace stampo {

namespace {

// Title and close button, and minimise, but no maximise: the forms have a fixed size.
constexpr Qt::WindowFlags decorationFlags = Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint;

// A window opened from another is a dialog: only those does X11 mark as transient for their parent.
Qt::WindowFlags formWindowFlags(const QWidget* parent) {
    return (parent ? Qt::Dialog : Qt::Window) | decorationFlags;
}

} // namespace

ViewController::ViewController(QWidget* parent)
    : QWidget(parent) {}

ZUMContainerView* ViewController::makeContainer(int width) {
    m_container = new ZUMContainerView(this);
    m_container->setGeometry(0, 0, width, 0);
    return m_container;
}

void ViewController::closeWindow() {
    window()->close();
}

void ViewController::addFieldRow(qreal& top, qreal height, std::initializer_list<Field> fields) {
    QWidget* const row = m_container->addRow(top, height);
    for (const Field& field : fields) {
        const QString name = QString::fromUtf8(field.key);
        m_container->addCaption(row, name + QStringLiteral("Caption"), QString::fromUtf8(field.caption),
                                field.captionX);
        if (field.password)
            m_container->addPassword(row, name, field.inputX, field.width);
        else
            m_container->addInput(row, name, field.inputX, field.width);
    }
    top += height;
}

void ViewController::addOkAndCancel(QWidget* row, const QString& okTitle) {
    m_container->addButton(row, QStringLiteral("ok"), okTitle, 10, 120);
    m_container->addButton(row, QStringLiteral("cancel"), QStringLiteral("Cancel"), 135, 120);
}

void ViewController::finishForm(qreal height) {
    m_container->resize(m_container->width(), qRound(height));
    for (ZUMButton* button : m_container->button())
        connect(button, &ZUMButton::clicked, this, [this, button] { buttonAction(button); });
}

FormWindow::FormWindow(ViewController* controller, const QString& title, bool deleteOnClose, QWidget* parent)
    : QWidget(parent, formWindowFlags(parent))
    , m_controller(controller) {
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose, deleteOnClose);
    m_controller->setParent(this);
    m_controller->loadView();
    m_controller->viewDidLoad();
    const QSize size = m_controller->container() ? m_controller->container()->size() : QSize();
    m_controller->setGeometry(QRect(QPoint(), size));
    m_controller->show();
    setFixedSize(size);
}

void FormWindow::present() {
    // The platform window is made first, so that the frame around the form counts where it is already known.
    create();
    QRect frame(QPoint(), frameGeometry().size());
    frame.moveCenter(screen()->availableGeometry().center());
    move(frame.topLeft());
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    m_controller->viewDidAppear();
    focusFirstInput();
}

void FormWindow::keyPressEvent(QKeyEvent* event) {
    // Keys a control does not use itself arrive here: a text input passes Enter on, an open list keeps it.
    if (event->modifiers() & ~Qt::KeypadModifier)
        return QWidget::keyPressEvent(event);
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return QWidget::keyPressEvent(event);
    auto* button = qobject_cast<QAbstractButton*>(focusWidget());
    if (!button && m_controller->container())
        button = m_controller->container()->findChild<QAbstractButton*>(QStringLiteral("ok"));
    // click() does nothing on a disabled button.
    if (button)
        button->click();
}

void FormWindow::focusFirstInput() {
    // Controls take the focus in the order the form made them, which is reading order.
    for (QWidget* next = nextInFocusChain(); next != this; next = next->nextInFocusChain()) {
        if (next->isWindow())
            break;
        if ((next->focusPolicy() & Qt::TabFocus) && next->isVisibleTo(this) && next->isEnabled() &&
            !qobject_cast<QAbstractButton*>(next)) {
            next->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

} // namespace stampo
