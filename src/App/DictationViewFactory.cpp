#include "App/DictationViewFactory.h"

#include "App/InputDeviceWatcher.h"

#include "Auth/AuthManager.h"
#include "Core/Pipeline/DictationPipeline.h"
#include "Storage/HistoryStore.h"
#include "UI/Hub/HistoryView.h"
#include "UI/Onboarding/OnboardingView.h"
#include "UI/Overlay/DictationOverlayView.h"
#include "UI/Settings/InstructionsTabView.h"
#include "UI/Settings/ReplacementsTabView.h"
#include "UI/Settings/SettingsView.h"

namespace {

// The pane's microphone list follows devices that come and go while it is shown.
SettingsView* followingInputDevices(SettingsView* pane, const DictationViewFactory::DeviceList& list) {
    auto* watcher = new InputDeviceWatcher(list, pane);
    QObject::connect(watcher, &InputDeviceWatcher::devicesChanged, pane,
                     [pane, watcher] { pane->setAudioDevices(watcher->devices()); });
    watcher->followVisibility(pane);
    return pane;
}

}  // namespace

DictationViewFactory::DictationViewFactory(DictationPipeline& pipeline, HistoryStore& history, AuthManager& auth,
                                           DeviceList listInputDevices)
    : m_pipeline(pipeline),
      m_history(history),
      m_auth(auth),
      m_listInputDevices(std::move(listInputDevices)) {}

HubView::Actions DictationViewFactory::hubActions(DictationPipeline& pipeline, AuthManager& auth,
                                                  ViewPermissions permissions, DeviceList listInputDevices) {
    HubView::Actions actions;
    actions.makeInstructions = [&pipeline](QWidget* parent) { return new InstructionsTabView(pipeline, parent); };
    actions.makeReplacements = [&pipeline](QWidget* parent) { return new ReplacementsTabView(pipeline, parent); };
    actions.makeSettings = [&pipeline, &auth, permissions, devices = std::move(listInputDevices)](QWidget* parent) {
        return followingInputDevices(
            new SettingsView(pipeline, devices(), pipeline.settings().selectedMicUID, auth, permissions, parent),
            devices);
    };
    actions.permissions = std::move(permissions);
    return actions;
}

QWidget* DictationViewFactory::makeHubView(ViewPermissions permissions) {
    return new HubView(m_pipeline, hubActions(m_pipeline, m_auth, std::move(permissions), m_listInputDevices));
}

QWidget* DictationViewFactory::makeOnboardingView(bool skipWelcome, OnboardingFlow::Permissions permissions,
                                                  std::function<void()> onComplete) {
    return new OnboardingView(m_auth, skipWelcome, std::move(permissions), std::move(onComplete));
}

QWidget* DictationViewFactory::makeSettingsView(ViewPermissions permissions) {
    return followingInputDevices(new SettingsView(m_pipeline, m_listInputDevices(),
                                                  m_pipeline.settings().selectedMicUID, m_auth, std::move(permissions)),
                                 m_listInputDevices);
}

QWidget* DictationViewFactory::makeHistoryView() { return new HistoryView(m_pipeline, m_history); }

QWidget* DictationViewFactory::makeOverlayView() { return new DictationOverlayView(m_pipeline); }
