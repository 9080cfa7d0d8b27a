// GoogleTest's main inside a QApplication, on the offscreen platform unless the caller chose one (Xvfb, say).
#include <QApplication>
#include <QFont>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    // The tests' figures of the forms assume a 13-pixel application font.
    QFont font = QApplication::font();
    font.setPixelSize(13);
    QApplication::setFont(font);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
