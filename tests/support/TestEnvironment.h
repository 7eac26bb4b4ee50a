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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VANTROSE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VANTROSE_TEST_SANITIZED 1
#endif
#endif

// How long a wait for something that should happen may take before the test fails. The
// sanitizers slow the program several times over, and the suite shares the machine: a deadline
// only matters when the wait fails, so it is generous there.
#ifdef VANTROSE_TEST_SANITIZED
inline constexpr std::chrono::milliseconds kDefaultWait = std::chrono::seconds(20);
#else
inline constexpr std::chrono::milliseconds kDefaultWait = std::chrono::seconds(5);
#endif

// Polls `condition` while running the event loop until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kDefaultWait);
