#include "Foundation/ThreadName.h"

#include "Foundation/SerialQueue.h"

#include <QThread>

#include <pthread.h>

#include <thread>

#include <gtest/gtest.h>

namespace {

struct NameCase {
    const char* label;
    const char* kernel;
};

class KernelThreadNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(KernelThreadNameTest, KeepsTheServicesPartWithinFifteenBytes) {
    EXPECT_EQ(kernelThreadName(QString::fromUtf8(GetParam().label)), QByteArray(GetParam().kernel));
}

INSTANTIATE_TEST_SUITE_P(
    Labels, KernelThreadNameTest,
    ::testing::Values(NameCase{"com.vantrose.app-detector", "app-detector"},
                      NameCase{"com.vantrose.clipboard", "clipboard"},
                      NameCase{"com.vantrose.metrics-logger", "metrics-logger"},
                      // One byte over: the end, where the service is told apart, stays.
                      NameCase{"com.vantrose.keyboard-monitor", "eyboard-monitor"}, NameCase{"com.vantrose.", ""},
                      NameCase{"worker-without-a-label", "without-a-label"},
                      // Two-byte characters: the cut falls between them, never inside one.
                      NameCase{"com.vantrose.\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
                               "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}));

QByteArray kernelNameOfCurrentThread() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return QByteArray(name);
}

TEST(ThreadNameTest, AThreadCarriesItsWholeLabelInQtAndItsServiceInTheKernel) {
    QString qtName;
    QByteArray kernelName;
    std::thread worker([&] {
        nameCurrentThread("com.vantrose.app-detector");
        qtName = QThread::currentThread()->objectName();
        kernelName = kernelNameOfCurrentThread();
    });
    worker.join();
    EXPECT_EQ(qtName, "com.vantrose.app-detector");
    EXPECT_EQ(kernelName, "app-detector");
}

TEST(ThreadNameTest, ASerialQueuesThreadIsNamedAfterItsLabel) {
    SerialQueue queue("com.vantrose.keyboard-monitor");
    QString qtName;
    QByteArray kernelName;
    queue.sync([&] {
        qtName = QThread::currentThread()->objectName();
        kernelName = kernelNameOfCurrentThread();
    });
    EXPECT_EQ(qtName, "com.vantrose.keyboard-monitor");
    EXPECT_EQ(kernelName, "eyboard-monitor");
}

}  // namespace
