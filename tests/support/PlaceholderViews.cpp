#include "support/PlaceholderViews.h"

#include "Auth/AuthManager.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

HubPlaceholderView::HubPlaceholderView(AbstractShellPipeline& pipeline, AuthManager& auth, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline),
      m_auth(auth) {
    setMinimumSize(600, 400);
    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(QStringLiteral("Vantrose"), this);
    QFont font(QStringLiteral("EB Garamond"));
    font.setPointSize(28);
    title->setFont(font);
    layout->addWidget(title);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("hubStatus"));
    layout->addWidget(m_status);
    m_account = new QLabel(this);
    layout->addWidget(m_account);
    auto* signOut = new QPushButton(QStringLiteral("Sign Out"), this);
    connect(signOut, &QPushButton::clicked, this, [this] { m_auth.logout(); });
    layout->addWidget(signOut);
    // Without a tray item this is the only way to quit from the desktop.
    auto* quit = new QPushButton(QStringLiteral("Quit Vantrose"), this);
    connect(quit, &QPushButton::clicked, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    layout->addWidget(quit);
    layout->addStretch();
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &HubPlaceholderView::refresh);
    timer->start(1000);
    refresh();
}

void HubPlaceholderView::refresh() {
    m_status->setText(QStringLiteral("Status: ") + rawValue(m_pipeline.status()));
    const auto& user = m_auth.currentUser();
    m_account->setText(m_auth.isAuthenticated() && user ? QStringLiteral("Signed in as ") + user->email
                                                        : QStringLiteral("Not signed in"));
}

OnboardingPlaceholderView::OnboardingPlaceholderView(AuthManager& auth, bool skipWelcome,
                                                     std::function<void()> onComplete, QWidget* parent)
    : QWidget(parent),
      m_auth(auth) {
    auto* layout = new QVBoxLayout(this);
    if (!skipWelcome) {
        auto* welcome = new QLabel(QStringLiteral("Welcome to Vantrose"), this);
        welcome->setStyleSheet(QStringLiteral("color: white; font-size: 24pt;"));
        layout->addWidget(welcome);
    }
    m_message = new QLabel(this);
    m_message->setStyleSheet(QStringLiteral("color: white;"));
    m_message->setWordWrap(true);
    layout->addWidget(m_message);
    m_signIn = new QPushButton(QStringLiteral("Sign in with Google"), this);
    connect(m_signIn, &QPushButton::clicked, this, [this] { m_auth.signInWithGoogle(); });
    layout->addWidget(m_signIn);
    m_continue = new QPushButton(QStringLiteral("Continue"), this);
    m_continue->setObjectName(QStringLiteral("onboardingContinue"));
    connect(m_continue, &QPushButton::clicked, this, [onComplete] { onComplete(); });
    layout->addWidget(m_continue);
    layout->addStretch();
    connect(&m_auth, &AuthManager::isAuthenticatedChanged, this, &OnboardingPlaceholderView::refresh);
    connect(&m_auth, &AuthManager::errorMessageChanged, this, &OnboardingPlaceholderView::refresh);
    refresh();
}

void OnboardingPlaceholderView::refresh() {
    const bool signedIn = m_auth.isAuthenticated();
    QString text = signedIn ? QStringLiteral(
                                  "You are signed in. Vantrose needs an X11 session and a working "
                                  "microphone; the accessibility bus adds the text of the focused field.")
                            : QStringLiteral("Sign in to start dictating.");
    if (m_auth.hasErrorMessage()) text += QLatin1Char('\n') + m_auth.errorMessage();
    m_message->setText(text);
    m_signIn->setVisible(!signedIn);
    m_continue->setEnabled(signedIn);
}

SettingsPlaceholderView::SettingsPlaceholderView(AbstractShellPipeline& pipeline,
                                                 std::vector<AudioDeviceInfo> audioDevices, QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    const auto& uid = pipeline.settings().selectedMicUID;
    QString mic = QStringLiteral("System Default");
    for (const auto& device : audioDevices)
        if (uid && device.uid == *uid) mic = device.name;
    layout->addWidget(new QLabel(QStringLiteral("Microphone: ") + mic, this));
    layout->addWidget(new QLabel(QStringLiteral("Language: ") + pipeline.settings().language, this));
    layout->addStretch();
}

HistoryPlaceholderView::HistoryPlaceholderView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Your dictations will appear here."), this));
    layout->addStretch();
}

OverlayPlaceholderView::OverlayPlaceholderView(AbstractShellPipeline& pipeline, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline) {
    setAttribute(Qt::WA_TranslucentBackground);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    timer->start(100);
}

void OverlayPlaceholderView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF pill(width() / 2.0 - 70, height() - 44, 140, 36);
    QPainterPath path;
    path.addRoundedRect(pill, 18, 18);
    painter.fillPath(path, QColor(QStringLiteral("#111111")));
    painter.setPen(Qt::white);
    painter.drawText(pill, Qt::AlignCenter, rawValue(m_pipeline.status()));
}

QWidget* PlaceholderViewFactory::makeHubView(ViewPermissions) { return new HubPlaceholderView(m_pipeline, m_auth); }

QWidget* PlaceholderViewFactory::makeOnboardingView(bool skipWelcome, OnboardingFlow::Permissions,
                                                    std::function<void()> onComplete) {
    return new OnboardingPlaceholderView(m_auth, skipWelcome, std::move(onComplete));
}

QWidget* PlaceholderViewFactory::makeSettingsView(ViewPermissions) {
    return new SettingsPlaceholderView(m_pipeline, m_pipeline.listInputDevices());
}

QWidget* PlaceholderViewFactory::makeHistoryView() { return new HistoryPlaceholderView; }

QWidget* PlaceholderViewFactory::makeOverlayView() { return new OverlayPlaceholderView(m_pipeline); }
