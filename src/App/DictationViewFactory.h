#pragma once

#include "App/AbstractShellViewFactory.h"
#include "Core/Audio/AudioEngine.h"
#include "UI/Hub/HubView.h"

#include <functional>
#include <vector>

class AuthManager;
class DictationPipeline;
class HistoryStore;

// The application's views over the real dictation pipeline, its history database and the
// account. The hub's instructions, replacements and settings sections are the settings views.
class DictationViewFactory final : public AbstractShellViewFactory {
public:
    using DeviceList = std::function<std::vector<AudioDeviceInfo>()>;

    // `listInputDevices`: the microphones the settings offer, read each time a pane is built.
    DictationViewFactory(DictationPipeline& pipeline, HistoryStore& history, AuthManager& auth,
                         DeviceList listInputDevices = &AudioEngine::listInputDevices);

    QWidget* makeHubView(ViewPermissions permissions) override;
    QWidget* makeOnboardingView(bool skipWelcome, OnboardingFlow::Permissions permissions,
                                std::function<void()> onComplete) override;
    QWidget* makeSettingsView(ViewPermissions permissions) override;
    QWidget* makeHistoryView() override;
    QWidget* makeOverlayView() override;

    // The hub's actions: these permissions, and its sections built from the settings views.
    static HubView::Actions hubActions(DictationPipeline& pipeline, AuthManager& auth, ViewPermissions permissions,
                                       DeviceList listInputDevices = &AudioEngine::listInputDevices);

private:
    DictationPipeline& m_pipeline;
    HistoryStore& m_history;
    AuthManager& m_auth;
    DeviceList m_listInputDevices;
};
