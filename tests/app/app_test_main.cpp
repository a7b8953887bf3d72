// Test main of the front-end tests: a QApplication on the offscreen platform, with the
// main-thread call queue connected to its event loop as the program does it.
#include "app/MainThreadHooks.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InstallMainThreadHooks();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    RemoveMainThreadHooks();
    return result;
}
