#include "support/TestEnvironment.h"

#include "Auth/AuthManager.h"

#include <QApplication>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    TestEnvironment::install();
    AuthManager::installAsTokenSource();
    // Listing the tests must work without a display; only running them needs the virtual desktop.
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]).startsWith("--gtest_list_tests")) listing = true;
    ::testing::InitGoogleMock(&argc, argv);
    if (listing) return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("Vantrose");
    return RUN_ALL_TESTS();
}
