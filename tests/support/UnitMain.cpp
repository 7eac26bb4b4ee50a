#include "support/TestEnvironment.h"

#include "Auth/AuthManager.h"

#include <QCoreApplication>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    TestEnvironment::install();
    AuthManager::installAsTokenSource();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("Vantrose");
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
