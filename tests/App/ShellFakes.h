#pragma once

#include "App/AbstractShellPipeline.h"
#include "App/AbstractShellUI.h"
#include "App/Permissions.h"

#include <QCoreApplication>
#include <QStringList>

#include <QCoro/QCoroTimer>

#include <functional>
#include <memory>

// One ordered record of what the shell asked of the pipeline, the desktop side and the services.
struct ShellEvents {
    QStringList list;
    void add(const QString& event) { list << event; }
    int count(const QString& event) const { return int(list.count(event)); }
};

class FakeShellPipeline final : public AbstractShellPipeline {
public:
    explicit FakeShellPipeline(ShellEvents& events) : m_events(events) {}

    DictationStatus status() const override { return currentStatus; }
    bool isPersistentMode() const override { return persistent; }
    bool hasTypingSuggestion() const override { return suggestion; }
    QString currentDictationID() const override { return dictationID; }
    const VantroseSettings& settings() const override { return currentSettings; }
    void setSettings(const VantroseSettings& settings) override {
        currentSettings = settings;
        m_events.add("setSettings");
    }
    QCoro::Task<> setup() override {
        m_events.add("setup");
        ++setupCalls;
        // Stays suspended while the test holds it, so overlapping start-ups can be staged.
        while (holdSetup) co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        m_events.add("setup returned");
    }
    void teardown() override { m_events.add("teardown"); }
    void setAccountSignedIn(bool signedIn) override { m_events.add(signedIn ? "signedIn" : "signedOut"); }
    void startDictation() override {
        m_events.add("startDictation");
        if (currentStatus != DictationStatus::idle) return;
        currentStatus = DictationStatus::listening;
        dictationID = QStringLiteral("dictation-%1").arg(++dictationCount);
    }
    void stopDictation() override {
        m_events.add("stopDictation:" + dictationID);
        if (currentStatus == DictationStatus::listening) currentStatus = DictationStatus::idle;
    }
    void setMicDevice(const std::optional<QString>& uid) override {
        m_events.add("setMicDevice:" + uid.value_or("default"));
    }
    std::vector<AudioDeviceInfo> listInputDevices() const override { return listDevices ? listDevices() : devices; }
    bool observeChanges(QObject*, std::function<void()> changed) override {
        if (!reportsChanges) return false;
        onChange = std::move(changed);
        return true;
    }
    // Sets the status and, when this pipeline reports changes, tells the observer.
    void changeStatus(DictationStatus status) {
        currentStatus = status;
        if (onChange) onChange();
    }

    bool reportsChanges = false;  // read when the observer is set up
    std::function<void()> onChange;
    DictationStatus currentStatus = DictationStatus::idle;
    bool persistent = false;
    bool suggestion = false;
    QString dictationID;
    int dictationCount = 0;
    VantroseSettings currentSettings;
    std::vector<AudioDeviceInfo> devices;
    std::function<std::vector<AudioDeviceInfo>()> listDevices;  // when set, replaces `devices`
    int setupCalls = 0;
    bool holdSetup = false;

private:
    ShellEvents& m_events;
};

class FakeShellUI final : public AbstractShellUI {
public:
    explicit FakeShellUI(ShellEvents& events) : m_events(events) {}

    void setupStatusItem() override { m_events.add("setupStatusItem"); }
    void setupPipelineObservers() override { m_events.add("setupPipelineObservers"); }
    void showHubWindow() override { m_events.add("showHubWindow"); }
    void showRichOnboarding(std::function<void()> onComplete) override {
        m_events.add("showRichOnboarding");
        completeOnboarding = std::move(onComplete);
    }
    void orderOutOnboarding() override { m_events.add("orderOutOnboarding"); }
    void setupOverlayWindow() override { m_events.add("setupOverlayWindow"); }
    void openSettings() override { m_events.add("openSettings"); }
    void openHistory() override { m_events.add("openHistory"); }
    void activate() override { m_events.add("activate"); }

    // The completion handed to the latest onboarding window.
    std::function<void()> completeOnboarding;

private:
    ShellEvents& m_events;
};

class FakePermissionChecker final : public AbstractPermissionChecker {
public:
    FakePermissionChecker(ShellEvents& events, PermissionSnapshot granted) : m_events(events), m_granted(granted) {}
    QCoro::Task<PermissionSnapshot> check() override {
        m_events.add("checkPermissions");
        co_return PermissionSnapshot(m_granted);
    }
    bool lastKnownAccessibility() override { return m_granted.accessibility; }
    void requestAccessibility() override { m_events.add("requestAccessibility"); }
    QCoro::Task<bool> checkAccessibility() override { co_return m_granted.accessibility; }

private:
    ShellEvents& m_events;
    PermissionSnapshot m_granted;
};
