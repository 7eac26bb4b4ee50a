// Takes screenshots of the views on the virtual desktop, for a reviewer to look at: the hub
// (each section), the settings window (each tab, at its opening and its smallest size, scrolled
// to the end), the onboarding pages and the pill in each state. Run through
// scripts/screenshots.sh, which starts the virtual desktop; the first argument is the folder.
#include "App/DictationViewFactory.h"
#include "App/ShellRules.h"
#include "Auth/AuthManager.h"
#include "Foundation/UserDefaults.h"
#include "Platform/Wayland/HotkeySourceChooser.h"
#include "Platform/Wayland/WaylandBackend.h"
#include "UI/Hub/HomeTabView.h"
#include "UI/Hub/HubView.h"
#include "UI/Motion/MotionClock.h"
#include "UI/Onboarding/OnboardingView.h"
#include "UI/Overlay/DictationOverlayView.h"
#include "UI/Settings/SettingsView.h"

#include "support/InstalledManualClock.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QVBoxLayout>

#include <cstdio>

namespace {

QString g_out;
int g_failures = 0;

void save(const QImage& image, const QString& name) {
    const QString path = g_out + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!image.save(path)) {
        std::fprintf(stderr, "screenshots: could not write %s\n", qPrintable(path));
        ++g_failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// Lets real timers (entrance fades, layouts) run for `ms`.
void pump(int ms) { QTest::qWait(ms); }

QWidget* hostWindow(QWidget* view, const QString& title) {
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setWindowTitle(title);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    return window;
}

// Waits until the shown window is on screen; one that never gets there counts as a failure.
void waitExposed(QWidget* window) {
    if (QTest::qWaitForWindowExposed(window)) return;
    std::fprintf(stderr, "screenshots: %s was never shown\n", qPrintable(window->windowTitle()));
    ++g_failures;
}

// What the screen shows of the window, its frame included.
void shoot(QWidget* window, const QString& name) {
    window->raise();
    pump(80);
    const QRect frame = window->frameGeometry();
    save(QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).toImage(),
         name);
}

TranscriptionResult result(const QString& text, const QString& app, int minutesAgo) {
    TranscriptionResult::Fields fields;
    fields.formattedText = text;
    fields.rawText = text;
    fields.appName = app;
    fields.appBundleId = app.isEmpty() ? QString() : QStringLiteral("org.example.") + app.toLower();
    fields.duration = 4.2;
    fields.totalTimeMs = 5200;
    TranscriptionResult r(fields);
    r.timestamp = QDateTime::currentDateTimeUtc().addSecs(-60LL * minutesAgo);
    return r;
}

QList<TranscriptionResult> sampleHistory() {
    return {
        result(QStringLiteral("Let's move the design review to Thursday afternoon so the whole team can join."),
               QStringLiteral("Slack"), 3),
        result(QStringLiteral("The quarterly numbers look strong, but we should double-check the churn figures "
                              "before the board meeting next week, and also confirm the hiring plan with finance, "
                              "legal and the two regional leads who asked for more time."),
               QStringLiteral("Mail"), 20),
        result(QStringLiteral("Fix the flaky login test by waiting for the token refresh."), QStringLiteral("Code"),
               55),
        result(QStringLiteral("<b>Not bold</b> — markup typed by the user stays text."), QStringLiteral("Notes"), 90),
        result(QStringLiteral("Remind me to call the plumber tomorrow morning."), QString(), 200),
        result(QStringLiteral("Ship it 🚀 once the checks pass."), QStringLiteral("Terminal"), 600),
    };
}

VantroseSettings sampleSettings() {
    VantroseSettings s;
    s.customWords = {QStringLiteral("Vantrose"), QStringLiteral("Kubernetes"), QStringLiteral("<b>markup</b>")};
    for (int i = 0; i < 14; ++i) s.customWords << QStringLiteral("word%1").arg(i);
    s.replacements.insert(QStringLiteral("my email"), QStringLiteral("jane@example.com"));
    s.replacements.insert(QStringLiteral("addr"), QStringLiteral("221B Baker Street"));
    s.snippets.insert(QStringLiteral("sig"), QStringLiteral("Best regards, Jane — sent by voice, so forgive the typos "
                                                            "and the occasional odd word choice"));
    s.textReplacements.append(TextReplacement{QStringLiteral("brb"), QStringLiteral("be right back")});
    s.textReplacements.append(TextReplacement{QStringLiteral("<i>t</i>"), QStringLiteral("<b>markup stays text</b>")});
    s.userName = QStringLiteral("Jane");
    return s;
}

void signIn() {
    UserDefaults::shared().setValue(QStringLiteral("cloudServerURL"), QStringLiteral("http://127.0.0.1:9"));
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, QStringLiteral("token"));
    UserDefaults::shared().setValue(
        AuthManager::userDataKey,
        QStringLiteral(
            R"({"id":"1","email":"jane@example.com","name":"Jane","picture":"","plan":"free","api_key":""})"));
}

// What a Wayland session asks of the user, and what one whose portal offers no shortcuts and whose
// keyboards the user may not read still lacks.
const QString kWaylandNeeds = QString::fromLatin1(WaylandBackend::inputNeedsBrief);
QString waylandNotice() {
    return HotkeySourceChoice{HotkeySource::x11, {HotkeySourceGap::noPortal, HotkeySourceGap::keyboardsNotReadable}, {}}
        .notice();
}

// ---- hub

void hubShots(AuthManager& auth) {
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    struct Variant {
        QString name;
        bool withHistory;
        bool permissions;
        bool wayland = false;
    };
    for (const Variant& variant :
         {Variant{QStringLiteral("hub"), true, true}, Variant{QStringLiteral("hub-first-start"), false, true},
          Variant{QStringLiteral("hub-permissions-missing"), false, false},
          Variant{QStringLiteral("hub-wayland-permissions-missing"), false, false, true},
          Variant{QStringLiteral("hub-wayland-hotkey-notice"), false, true, true}}) {
        PipelineHarness h(sampleSettings());
        if (variant.withHistory) {
            h.history->preloaded = sampleHistory();
            h.history->totals = {42, 1830};
        }
        h.setUp();
        const bool granted = variant.permissions;
        ViewPermissions permissions;
        permissions.accessibilityGranted = [granted] { return granted; };
        permissions.microphoneGranted = [granted] { return granted; };
        if (variant.wayland) {
            permissions.inputNeeds = [] { return kWaylandNeeds; };
            permissions.inputNotice = [granted] { return granted ? waylandNotice() : QString(); };
        }
        const auto devices = [] {
            AudioDeviceInfo mic;
            mic.uid = QStringLiteral("mic");
            mic.name = QStringLiteral("Virtual Microphone");
            mic.isDefault = true;
            return std::vector<AudioDeviceInfo>{mic};
        };
        auto* view =
            new HubView(*h.pipeline, DictationViewFactory::hubActions(*h.pipeline, auth, permissions, devices));
        QWidget* window = hostWindow(view, QStringLiteral("Vantrose"));
        window->setMinimumSize(600, 400);
        window->setGeometry(ShellRules::hubGeometry(available, window->sizeHint()));
        window->show();
        waitExposed(window);
        pump(900);  // the dashboard's entrance
        if (!variant.withHistory) {
            shoot(window, variant.name + QStringLiteral("-home"));
            delete window;
            continue;
        }
        const std::pair<HubTab, QString> tabs[] = {{HubTab::home, QStringLiteral("1-home")},
                                                   {HubTab::history, QStringLiteral("2-history")},
                                                   {HubTab::instructions, QStringLiteral("3-instructions")},
                                                   {HubTab::replacements, QStringLiteral("4-replacements")},
                                                   {HubTab::settings, QStringLiteral("5-settings")}};
        for (const auto& [tab, name] : tabs) {
            view->setSelectedTab(tab);
            pump(tab == HubTab::home ? 900 : 200);
            shoot(window, variant.name + QLatin1Char('-') + name);
        }
        // The smallest hub: the dashboard and the settings section.
        window->resize(window->minimumSizeHint().expandedTo(QSize(600, 400)));
        view->setSelectedTab(HubTab::home);
        pump(900);
        shoot(window, QStringLiteral("hub-smallest-home"));
        view->setSelectedTab(HubTab::settings);
        pump(200);
        shoot(window, QStringLiteral("hub-smallest-settings"));
        delete window;
    }
}

// ---- settings window

void settingsShots(AuthManager& auth) {
    PipelineHarness h(sampleSettings());
    h.setUp();
    AudioDeviceInfo mic;
    mic.uid = QStringLiteral("mic");
    mic.name = QStringLiteral("Virtual Microphone");
    mic.isDefault = true;
    ViewPermissions permissions;
    permissions.accessibilityGranted = [] { return false; };
    permissions.microphoneGranted = [] { return true; };
    auto* view = new SettingsView(*h.pipeline, {mic}, std::nullopt, auth, std::move(permissions));
    QWidget* window = hostWindow(view, QStringLiteral("Vantrose Settings"));
    window->setMinimumSize(ShellRules::kSettingsMinimumSize);
    window->resize(ShellRules::kSettingsSize);
    window->show();
    waitExposed(window);
    const QString tabNames[] = {QStringLiteral("1-general"), QStringLiteral("2-modes"), QStringLiteral("3-dictionary"),
                                QStringLiteral("4-shortcuts")};
    for (const auto& [size, label] : {std::pair{ShellRules::kSettingsSize, QStringLiteral("default")},
                                      std::pair{ShellRules::kSettingsMinimumSize, QStringLiteral("smallest")}}) {
        window->resize(size);
        for (int i = 0; i < view->tabs()->count(); ++i) {
            view->tabs()->setCurrentIndex(i);
            pump(100);
            shoot(window, QStringLiteral("settings-%1-%2-top").arg(label, tabNames[i]));
            if (auto* scroll = qobject_cast<QAbstractScrollArea*>(view->tabs()->currentWidget())) {
                scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
                shoot(window, QStringLiteral("settings-%1-%2-end").arg(label, tabNames[i]));
                scroll->verticalScrollBar()->setValue(0);
            }
        }
    }
    // The stored microphone unplugged: the picker keeps it and says what records meanwhile.
    window->resize(ShellRules::kSettingsSize);
    view->tabs()->setCurrentIndex(0);
    h.pipeline->updateSettings([](VantroseSettings& s) { s.selectedMicUID = QStringLiteral("usb-headset"); });
    pump(100);
    shoot(window, QStringLiteral("settings-microphone-not-connected"));
    delete window;
}

// ---- onboarding

// The onboarding's pages; on a Wayland session (`wayland`) only the permission step, whose rows speak
// of that session's needs.
void onboardingShots(AuthManager& signedOut, bool wayland) {
    bool accessibility = false, microphone = false;
    OnboardingView::Permissions permissions{
        [&]() -> QCoro::Task<bool> { co_return accessibility; },
        [&] { accessibility = true; },
        [&]() -> QCoro::Task<bool> { co_return microphone; },
        [&]() -> QCoro::Task<bool> {
            microphone = true;
            co_return true;
        },
    };
    if (wayland) {
        permissions.inputNeeds = [] { return kWaylandNeeds; };
        permissions.inputNotice = [&accessibility] { return accessibility ? waylandNotice() : QString(); };
    }
    const QString prefix = wayland ? QStringLiteral("onboarding-wayland-") : QStringLiteral("onboarding-");
    InstalledManualClock calls;
    auto* view = new OnboardingView(signedOut, false, std::move(permissions), [] {});
    view->flow().setSoundPlayer([](const QString&, const QString&) {});
    QWidget* window = hostWindow(view, QString());
    window->setGeometry(ShellRules::onboardingGeometry(QGuiApplication::primaryScreen()->availableGeometry()));
    window->show();
    waitExposed(window);
    // The onboarding moves on its own clock: `calls` advances it.
    calls.advance(std::chrono::milliseconds(2500));
    pump(100);
    if (!wayland) shoot(window, prefix + QStringLiteral("1-welcome-start"));
    view->flow().skipWelcomeSequence();
    calls.advance(std::chrono::seconds(2));
    pump(100);
    if (!wayland) shoot(window, prefix + QStringLiteral("2-welcome"));
    view->flow().getStarted();
    calls.advance(std::chrono::seconds(2));
    pump(100);
    shoot(window, prefix + QStringLiteral("3-permissions"));
    // The keyboard focus on the first painted button, as Tab leaves it.
    if (QAbstractButton* first = view->controlButton(OnboardingView::Control::enableAccessibility)) {
        window->activateWindow();
        first->setFocus(Qt::TabFocusReason);
        pump(100);
        shoot(window, prefix + QStringLiteral("4-permissions-keyboard-focus"));
    }
    view->flow().grantAccessibility();
    view->flow().grantMicrophone();
    calls.advance(std::chrono::seconds(2));
    pump(100);
    shoot(window, prefix + QStringLiteral("5-permissions-granted"));
    view->flow().continueToReady();
    calls.advance(std::chrono::seconds(2));
    pump(100);
    if (!wayland) shoot(window, prefix + QStringLiteral("6-sign-in"));
    delete window;
}

// ---- pill

QList<std::pair<QString, QImage>> g_pills;

// The overlay on a mid-grey desktop, doubled so the small pill can be read.
void shootPill(DictationOverlayView& view, const QString& name) {
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(96, 104, 118));
    {
        QPainter p(&image);
        view.render(&p, QPoint(), QRegion(), QWidget::DrawChildren);
    }
    const QImage doubled = image.scaled(image.size() * 2, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    save(doubled, name);
    g_pills.append({name, doubled});
}

// Every pill state on one sheet: the lower part of each picture, named.
void savePillSheet() {
    if (g_pills.isEmpty()) return;
    const int cropTop = 100, rowHeight = 220;
    QImage sheet(g_pills.first().second.width() * 2, rowHeight * int((g_pills.size() + 1) / 2), QImage::Format_RGB32);
    sheet.fill(QColor(96, 104, 118));
    QPainter p(&sheet);
    for (int i = 0; i < g_pills.size(); ++i) {
        const QImage& image = g_pills[i].second;
        const QPoint at((i % 2) * image.width(), (i / 2) * rowHeight);
        p.drawImage(at, image, QRect(0, cropTop, image.width(), rowHeight));
        p.setPen(Qt::white);
        p.drawText(at + QPoint(8, 18), g_pills[i].first);
    }
    p.end();
    save(sheet, QStringLiteral("pill-all"));
}

struct Pill {
    explicit Pill(VantroseSettings settings = VantroseSettings()) : h(std::move(settings)) {
        h.setUp();
        view = std::make_unique<DictationOverlayView>(*h.pipeline, clock);
        view->show();
        settle();
    }
    void settle() { clock.advance(2.0); }
    PipelineHarness h;
    MotionClock clock{MotionClock::Mode::manual};
    std::unique_ptr<DictationOverlayView> view;
};

void pillShots() {
    {
        Pill o;
        shootPill(*o.view, QStringLiteral("pill-01-idle"));
        QMouseEvent move(QEvent::MouseMove, o.view->pillRect().center(),
                         o.view->mapToGlobal(o.view->pillRect().center()), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(o.view.get(), &move);
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-02-idle-hovered"));
    }
    {
        Pill o;
        o.clock.advance(0.0);
        o.h.record(5);
        o.clock.advance(0.05);
        shootPill(*o.view, QStringLiteral("pill-03-listening-bounce"));
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-04-listening"));
        o.h.audio->feed(10, 0.8f);
        QCoreApplication::processEvents();
        o.clock.advance(0.1);
        shootPill(*o.view, QStringLiteral("pill-05-listening-loud"));
        o.h.pipeline->stopDictation();
        o.h.waitForStatus(DictationStatus::idle);
        o.clock.advance(0.15);
        shootPill(*o.view, QStringLiteral("pill-13-done-glow"));
    }
    {
        VantroseSettings expanded;
        expanded.expandedPill = true;
        Pill o(expanded);
        o.h.record(25);
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-06-listening-expanded"));
        if (o.h.recognizer->onPartial) {
            o.h.recognizer->onPartial(QStringLiteral("hello there"));
            waitUntil([&] { return !o.h.pipeline->streamingText().isEmpty(); });
            o.clock.advance(0.08);
            shootPill(*o.view, QStringLiteral("pill-07-live-text-coming-in"));
            o.settle();
            shootPill(*o.view, QStringLiteral("pill-08-live-text"));
            QStringList words;
            for (int i = 0; i < 40; ++i) words << QStringLiteral("word%1").arg(i);
            o.h.recognizer->onPartial(words.join(QLatin1Char(' ')) + QStringLiteral(" 😀😀"));
            waitUntil([&] { return o.h.pipeline->streamingText().size() > 100; });
            o.settle();
            shootPill(*o.view, QStringLiteral("pill-09-live-text-long"));
        }
        o.h.batch->gate = std::make_shared<FakeGate>();
        o.h.pipeline->stopDictation();
        waitUntil([&] { return o.h.pipeline->status() == DictationStatus::processing; });
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-10-processing-expanded"));
        o.h.batch->gate->open();
        o.h.waitForStatus(DictationStatus::idle);
    }
    {
        Pill o;
        o.h.record(25);
        o.h.batch->gate = std::make_shared<FakeGate>();
        o.h.pipeline->stopDictation();
        if (!waitUntil([&] { return o.h.pipeline->status() == DictationStatus::processing; }))
            std::fprintf(stderr, "screenshots: the dictation did not reach processing\n");
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-11-processing"));
        o.h.inserter->delay = std::chrono::milliseconds(1500);
        o.h.batch->gate->open();
        if (waitUntil([&] { return o.h.pipeline->status() == DictationStatus::inserting; })) {
            o.settle();
            shootPill(*o.view, QStringLiteral("pill-12-inserting"));
        }
        o.h.waitForStatus(DictationStatus::idle);
    }
    {
        Pill o;
        o.h.pipeline->startPersistentDictation();
        o.h.waitForStatus(DictationStatus::listening);
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-14-hands-free"));
        o.h.pipeline->pauseDictation();
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-15-hands-free-paused"));
        o.h.pipeline->finishPersistentDictation();
    }
    {
        Pill o;
        o.h.audio->startFailure = QStringLiteral("no microphone");
        o.h.pipeline->startDictation();
        if (waitUntil([&] { return o.h.pipeline->status() == DictationStatus::error; })) {
            o.settle();
            shootPill(*o.view, QStringLiteral("pill-16-error"));
        }
    }
    {
        // The tenth finished dictation: toast, confetti and the pill's tilt.
        Pill o;
        for (int i = 0; i < 10; ++i) {
            o.h.dictate();
            o.clock.advance(i < 9 ? 4.0 : 0.0);
        }
        o.clock.advance(0.5);
        shootPill(*o.view, QStringLiteral("pill-19-milestone"));
    }
    {
        Pill o;
        o.h.detector->frontApp = FakeAppDetector::app(QStringLiteral("Notes"), QStringLiteral("org.example.notes"));
        for (int i = 0; i < 30 && !o.h.pipeline->typingSuggestion(); ++i) {
            o.h.clock.advance(std::chrono::seconds(1));
            o.h.keyboard->onKeyDown(KeyEvent{4, 0, QStringLiteral("a"), false});
        }
        if (!o.h.pipeline->typingSuggestion()) std::fprintf(stderr, "screenshots: no typing suggestion came\n");
        o.clock.advance(0.05);
        shootPill(*o.view, QStringLiteral("pill-17-suggestion-entering"));
        o.settle();
        shootPill(*o.view, QStringLiteral("pill-18-suggestion"));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
        return 2;
    }
    TestEnvironment::install();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vantrose"));
    g_out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(g_out);

    AuthManager signedOut;
    onboardingShots(signedOut, false);
    onboardingShots(signedOut, true);
    pillShots();
    savePillSheet();
    signIn();
    AuthManager signedInAuth;
    hubShots(signedInAuth);
    settingsShots(signedInAuth);
    return g_failures == 0 ? 0 : 1;
}
