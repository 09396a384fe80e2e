#include <QApplication>
#include <gtest/gtest.h>

// The window tests need a QApplication before the first widget, so this binary has its own main.
int main(int argc, char** argv)
{
    // Headless unless the caller chose a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
