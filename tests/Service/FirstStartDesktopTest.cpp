// A new user's first start, from nothing: the local service and the program started the way
// scripts/run.sh starts them, the sign-in through the browser and the vantrose:// handler, the
// onboarding clicked through, and a spoken sentence pasted over the streaming road.
#include "Auth/AuthManager.h"
#include "Foundation/AppPaths.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "Platform/X11/X11KeyInjector.h"
#include "UI/Onboarding/OnboardingView.h"

#include "support/ConsentBrowser.h"
#include "support/DesktopDictation.h"
#include "support/FixtureApp.h"
#include "support/InstalledManualClock.h"
#include "support/MicFeeder.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Control = OnboardingView::Control;

const QString kSourceDir = QStringLiteral(VANTROSE_SOURCE_DIR);
const QString kBuildDir = QStringLiteral(VANTROSE_BINARY_DIR);
const QString kProgram = kBuildDir + QStringLiteral("/src/vantrose");
constexpr uint8_t kRightAlt = 108;  // X keycode of Right Alt on the virtual desktop's keymap
constexpr auto kDeadline = 60s;

QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString textLog() { return readFile(AppPaths::logDir() + "/main.log"); }

bool runScript(const QString& name, QString* output) {
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"), {kSourceDir + "/scripts/" + name, kBuildDir});
    const bool finished = script.waitForFinished(60000);
    if (output) *output = QString::fromUtf8(script.readAll());
    return finished && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
}

// Where each onboarding control settles, in the window's coordinates: a view of the same size,
// never shown on screen, walked through the same steps on a manual clock.
class OnboardingMap {
public:
    explicit OnboardingMap(const QSize& size) {
        OnboardingView::Permissions permissions{
            [this]() -> QCoro::Task<bool> { co_return m_granted; },
            [this] { m_granted = true; },
            [this]() -> QCoro::Task<bool> { co_return m_granted; },
            [this]() -> QCoro::Task<bool> { co_return m_granted; },
        };
        OnboardingView view(m_auth, false, permissions, [] {});
        view.flow().setSoundPlayer([](const QString&, const QString&) {});
        view.setAttribute(Qt::WA_DontShowOnScreen);
        view.resize(size);
        view.show();
        m_welcome = view.welcomeArea().center();
        click(view, m_welcome);
        m_calls.advance(std::chrono::milliseconds(400));
        record(view, Control::getStarted);
        click(view, m_points[Control::getStarted]);
        m_calls.advance(std::chrono::seconds(1));
        record(view, Control::enableAccessibility);
        record(view, Control::enableMicrophone);
        m_granted = true;
        click(view, m_points[Control::enableAccessibility]);
        m_calls.advance(std::chrono::milliseconds(500));
        click(view, m_points[Control::enableMicrophone]);
        waitUntil([&] { return view.flow().microphoneGranted(); });
        m_calls.advance(std::chrono::seconds(1));
        record(view, Control::continueButton);
        click(view, m_points[Control::continueButton]);
        m_calls.advance(std::chrono::seconds(2));
        record(view, Control::signIn);
    }

    // The clicks that take the real window from the welcome to the sign-in, in order.
    std::vector<QPoint> path() const {
        return {m_welcome,
                m_points.at(Control::getStarted),
                m_points.at(Control::enableAccessibility),
                m_points.at(Control::enableMicrophone),
                m_points.at(Control::continueButton),
                m_points.at(Control::signIn)};
    }
    bool complete() const { return m_points.size() == 5; }
    QString placed() const {
        QStringList out;
        for (const auto& [control, point] : m_points) out << QString::number(int(control));
        return out.join(' ');
    }

private:
    static void click(OnboardingView& view, const QPoint& point) {
        QTest::mouseClick(&view, Qt::LeftButton, Qt::NoModifier, point);
        QCoreApplication::processEvents();
    }
    void record(const OnboardingView& view, Control control) {
        const QRect rect = view.controlRect(control);
        if (!rect.isEmpty()) m_points[control] = rect.center();
    }

    AuthManager m_auth;
    InstalledManualClock m_calls;
    bool m_granted = false;
    QPoint m_welcome;
    std::map<Control, QPoint> m_points;
};

class FirstStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual microphone (scripts/with-desktop.sh)";
        ASSERT_TRUE(SpeechFixture::toolsAvailable()) << "flite and sox make the spoken sentence";
        ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
        const QUrl base(StringShield::apiBase());
        if (base.host() != "127.0.0.1" && base.host() != "localhost")
            GTEST_SKIP() << "built for another server: " << base.toString().toStdString();
        // Someone else's service on the built-in port would take this test's sign-in.
        if (httpRequest("GET", QUrl(StringShield::apiBase() + StringShield::pathHealth())).status != 0)
            GTEST_SKIP() << "a service already answers at " << base.toString().toStdString();
        // No account, no settings, no logs: a new user.
        QDir(AppPaths::logDir()).removeRecursively();
        QDir(AppPaths::dataDir()).removeRecursively();
        for (const QString& key : {AuthManager::accessTokenKey, AuthManager::refreshTokenKey, AuthManager::userDataKey})
            UserDefaults::shared().remove(key);
        UserDefaults::shared().sync();
        ASSERT_TRUE(browserDir.isValid());
    }

    void TearDown() override {
        if (app && app->state() != QProcess::NotRunning) {
            app->terminate();
            if (!app->waitForFinished(10000)) {
                app->kill();
                app->waitForFinished(5000);
            }
        }
        bool ok = false;
        const qint64 servicePid = readFile(stateDir() + "/service.pid").trimmed().toLongLong(&ok);
        if (ok && servicePid > 1) ::kill(static_cast<pid_t>(servicePid), SIGTERM);
    }

    static QString stateDir() { return AppPaths::logDir(); }
    QString openedUrlsFile() const { return browserDir.filePath("opened"); }

    // A browser that only writes down what it was asked to open, first in the program's PATH
    // (the toolkit opens URLs through xdg-open).
    QProcessEnvironment programEnvironment() const {
        const QString fake = browserDir.filePath("xdg-open");
        QFile script(fake);
        EXPECT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\necho \"$1\" >> '%1'\n").arg(openedUrlsFile()).toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", browserDir.path() + ":" + env.value("PATH"));
        env.insert("OMP_THREAD_LIMIT", "1");
        return env;
    }

    // The program's onboarding window: the largest visible window of its process.
    unsigned long onboardingWindow(QSize* size) {
        unsigned long best = 0;
        int bestArea = 0;
        const QByteArray ids =
            runTool("xdotool", {"search", "--onlyvisible", "--pid", QString::number(app->processId())});
        for (const QByteArray& id : ids.split('\n')) {
            if (id.trimmed().isEmpty()) continue;
            const QString geometry =
                QString::fromUtf8(runTool("xdotool", {"getwindowgeometry", "--shell", id.trimmed()}));
            int width = 0, height = 0;
            for (const QString& line : geometry.split('\n')) {
                if (line.startsWith("WIDTH=")) width = line.mid(6).toInt();
                if (line.startsWith("HEIGHT=")) height = line.mid(7).toInt();
            }
            if (width * height > bestArea && width >= 600) {
                bestArea = width * height;
                best = id.trimmed().toULong();
                *size = QSize(width, height);
            }
        }
        return best;
    }

    void clickInWindow(unsigned long window, const QPoint& point) {
        runTool("xdotool", {"mousemove", "--window", QString::number(window), QString::number(point.x()),
                            QString::number(point.y()), "click", "1"});
    }

    QTemporaryDir browserDir;
    std::unique_ptr<QProcess> app;
    FixtureApp fixture{"FirstStartTarget", "first start target"};
    X11KeyInjector keys;
};

TEST_F(FirstStartTest, ANewUserSignsInThroughTheBrowserAndDictatesOverTheStreamingRoad) {
    QString output;
    ASSERT_TRUE(runScript("install-desktop-entry.sh", &output)) << output.toStdString();
    ASSERT_TRUE(runScript("start-service.sh", &output)) << output.toStdString();
    ASSERT_EQ(httpRequest("GET", QUrl(StringShield::apiBase() + StringShield::pathHealth())).status, 200);

    app = std::make_unique<QProcess>();
    app->setProcessChannelMode(QProcess::ForwardedChannels);
    app->setProcessEnvironment(programEnvironment());
    app->start(kProgram);
    ASSERT_TRUE(app->waitForStarted(10000));
    ASSERT_TRUE(waitUntil([] { return textLog().contains("Windows: Onboarding window shown"); }, kDeadline))
        << textLog().toStdString();

    QSize size;
    unsigned long window = 0;
    ASSERT_TRUE(waitUntil([&] { return (window = onboardingWindow(&size)) != 0; }, kDeadline));
    const OnboardingMap map(size);
    ASSERT_TRUE(map.complete()) << "every control of the way to the sign-in is placed: " << map.placed().toStdString();

    // The real window animates on its own clock: each click is given time to take effect, and
    // the walk repeats until the program asks the browser to open the sign-in page.
    const auto opened = [&] { return !readFile(openedUrlsFile()).trimmed().isEmpty(); };
    const auto walkUntil = std::chrono::steady_clock::now() + kDeadline;
    while (!opened() && std::chrono::steady_clock::now() < walkUntil) {
        for (const QPoint& point : map.path()) {
            clickInWindow(window, point);
            if (waitUntil(opened, 1500ms)) break;
        }
    }
    ASSERT_TRUE(opened()) << "the sign-in never opened the browser\n" << textLog().toStdString();
    const QUrl authorization(readFile(openedUrlsFile()).split('\n').first().trimmed());
    EXPECT_EQ(authorization.adjusted(QUrl::RemoveQuery).toString(), StringShield::googleAuthBase());

    // The browser: the consent page accepted, and the vantrose:// link handed to the desktop.
    QString error;
    const QUrl callback = acceptConsent(authorization, &error);
    ASSERT_TRUE(callback.isValid()) << error.toStdString();
    QProcess xdgOpen;
    xdgOpen.setProcessChannelMode(QProcess::ForwardedChannels);
    xdgOpen.start(QStringLiteral("xdg-open"), {callback.toString(QUrl::FullyEncoded)});
    ASSERT_TRUE(xdgOpen.waitForFinished(30000));
    EXPECT_EQ(xdgOpen.exitCode(), 0) << "the vantrose:// handler is registered";

    // The running program takes the link, signs in, finishes the onboarding and starts.
    ASSERT_TRUE(waitUntil([] { return textLog().contains("Auth: Received URL callback"); }, kDeadline))
        << textLog().toStdString();
    ASSERT_TRUE(waitUntil([] { return textLog().contains("Pipeline: Setup complete"); }, kDeadline))
        << textLog().toStdString();
    UserDefaults::shared().sync();  // the program wrote the tokens from its own process
    EXPECT_FALSE(UserDefaults::shared().string(AuthManager::accessTokenKey).isEmpty());

    ASSERT_TRUE(fixture.start(kDeadline));
    ASSERT_TRUE(fixture.activate(kDeadline));

    // A sentence spoken while Right Alt is held.
    const QString sentence = SpeechFixture::sentences().first();
    const QString failure = holdKeyAndSpeak([this](bool down) { return keys.sendKey(kRightAlt, down); },
                                            [] { return textLog().contains("Pipeline: Listening (mic:"); },
                                            spokenSentence(sentence), kDeadline);
    ASSERT_TRUE(failure.isEmpty()) << failure.toStdString() << "\n" << textLog().toStdString();

    ASSERT_TRUE(waitUntil([&] { return !fixture.text().isEmpty(); }, kDeadline)) << textLog().toStdString();
    const QString pasted = fixture.text();
    EXPECT_LE(SpeechFixture::wordErrorRate(sentence, pasted), 0.35) << pasted.toStdString();
    EXPECT_TRUE(pasted.endsWith('.')) << pasted.toStdString();
    EXPECT_TRUE(textLog().contains("Pipeline: Committing via WebSocket")) << textLog().toStdString();
    EXPECT_EQ(app->state(), QProcess::Running);
}

}  // namespace
