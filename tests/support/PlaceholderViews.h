#pragma once

#include "App/AbstractShellPipeline.h"
#include "App/AbstractShellViewFactory.h"

#include <QWidget>

#include <functional>

class AuthManager;
class QLabel;
class QPushButton;

// Plain stand-ins for the views the shell hosts, over any AbstractShellPipeline: the shell's tests run its
// windows, tray and overlay panel without a real pipeline behind them.

class HubPlaceholderView : public QWidget {
    Q_OBJECT
public:
    HubPlaceholderView(AbstractShellPipeline& pipeline, AuthManager& auth, QWidget* parent = nullptr);

private:
    void refresh();
    AbstractShellPipeline& m_pipeline;
    AuthManager& m_auth;
    QLabel* m_status = nullptr;
    QLabel* m_account = nullptr;
};

class OnboardingPlaceholderView : public QWidget {
    Q_OBJECT
public:
    // `onComplete` runs when the user continues; the window owner makes sure it counts once.
    OnboardingPlaceholderView(AuthManager& auth, bool skipWelcome, std::function<void()> onComplete,
                              QWidget* parent = nullptr);

private:
    void refresh();
    AuthManager& m_auth;
    QLabel* m_message = nullptr;
    QPushButton* m_signIn = nullptr;
    QPushButton* m_continue = nullptr;
};

class SettingsPlaceholderView : public QWidget {
    Q_OBJECT
public:
    SettingsPlaceholderView(AbstractShellPipeline& pipeline, std::vector<AudioDeviceInfo> audioDevices,
                            QWidget* parent = nullptr);
};

class HistoryPlaceholderView : public QWidget {
    Q_OBJECT
public:
    explicit HistoryPlaceholderView(QWidget* parent = nullptr);
};

// The pill: a rounded shape with the status, painted on a transparent panel.
class OverlayPlaceholderView : public QWidget {
    Q_OBJECT
public:
    explicit OverlayPlaceholderView(AbstractShellPipeline& pipeline, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    AbstractShellPipeline& m_pipeline;
};

// Hands the shell the stand-ins above.
class PlaceholderViewFactory final : public AbstractShellViewFactory {
public:
    PlaceholderViewFactory(AbstractShellPipeline& pipeline, AuthManager& auth) : m_pipeline(pipeline), m_auth(auth) {}

    QWidget* makeHubView(ViewPermissions permissions) override;
    QWidget* makeOnboardingView(bool skipWelcome, OnboardingFlow::Permissions permissions,
                                std::function<void()> onComplete) override;
    QWidget* makeSettingsView(ViewPermissions permissions) override;
    QWidget* makeHistoryView() override;
    QWidget* makeOverlayView() override;

private:
    AbstractShellPipeline& m_pipeline;
    AuthManager& m_auth;
};
