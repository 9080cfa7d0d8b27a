// The least a Qt tray program does: an application object and one tray icon. The start-up benchmark measures it
// beside stampo to tell our own start-up cost from Qt's.
#include <QApplication>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QPixmap pixmap(64, 64);
    pixmap.fill(QColor(0x1f, 0x6f, 0xb2));
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.show();
    return QApplication::exec();
}
