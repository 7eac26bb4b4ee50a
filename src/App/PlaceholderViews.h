#pragma once

#include "App/ShellPipeline.h"

#include <QWidget>

#include <functional>

class AuthManager;
class QLabel;
class QPushButton;

// Simple stand-ins for the hosted views until their own implementations land. They show the
// state they will show later in plain widgets, so the windows around them are usable.

class HubPlaceholderView : public QWidget {
    Q_OBJECT
public:
    HubPlaceholderView(ShellPipeline& pipeline, AuthManager& auth, QWidget* parent = nullptr);

private:
    void refresh();
    ShellPipeline& m_pipeline;
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
    SettingsPlaceholderView(ShellPipeline& pipeline, std::vector<AudioDeviceInfo> audioDevices,
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
    explicit OverlayPlaceholderView(ShellPipeline& pipeline, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ShellPipeline& m_pipeline;
};
