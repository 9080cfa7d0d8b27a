#include "widgets/FormWindow.h"

#include "widgets/ZUMContainerView.h"

#include <QScreen>
#include <QShowEvent>

namespace stampo {

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

FormWindow::FormWindow(ViewController* controller, const QString& title, bool deleteOnClose, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint)
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
}

void FormWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window restored from minimised gets a spontaneous show; only a real showing counts as appearing, so that
    // forms which reset themselves on appearing keep what the user typed.
    if (!event->spontaneous())
        m_controller->viewDidAppear();
}

} // namespace stampo
