#pragma once

#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <functional>

// Every test process gets throwaway HOME and XDG folders, so nothing touches the user's files
// and the process-wide services start from an empty state.
class TestEnvironment {
public:
    static void install();  // called once by the test mains, before any service is used
    static QString root();
};

// Polls `condition` while running the event loop until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5));
