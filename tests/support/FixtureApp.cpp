#include "support/FixtureApp.h"

#include "support/TestEnvironment.h"

#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {
QString fixturePath() { return QStringLiteral(VANTROSE_BINARY_DIR "/tests/apps/vantrose_fixture"); }
}  // namespace

FixtureApp::FixtureApp() : FixtureApp(Options{}) {}

FixtureApp::FixtureApp(Options options) : m_options(std::move(options)) {}

FixtureApp::FixtureApp(const QString& wmClass, const QString& title) {
    m_options.wmClass = wmClass;
    m_options.title = title;
}

FixtureApp::~FixtureApp() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
}

bool FixtureApp::start(std::chrono::milliseconds timeout) {
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : m_options.extraEnvironment) {
        const qsizetype eq = kv.indexOf('=');
        if (eq > 0) env.insert(kv.left(eq), kv.mid(eq + 1));
    }
    m_process->setProcessEnvironment(env);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    QStringList args{"--class", m_options.wmClass, "--title", m_options.title};
    if (m_options.passwordField) args << "--password";
    m_process->start(fixturePath(), args);
    if (!m_process->waitForStarted(int(timeout.count()))) return false;
    if (!waitUntil(
            [this] {
                readOutput();
                return m_ready;
            },
            timeout))
        return false;
    return waitUntil([this] { return windowId() != 0 && activeWindowId() == m_window; }, timeout);
}

qint64 FixtureApp::pid() const { return m_process ? m_process->processId() : 0; }

unsigned long FixtureApp::windowId() {
    if (m_window) return m_window;
    const QByteArray out = runTool("xdotool", {"search", "--onlyvisible", "--classname",
                                               "^" + QRegularExpression::escape(m_options.wmClass) + "$"});
    for (const QByteArray& line : out.split('\n')) {
        bool ok = false;
        const unsigned long id = line.trimmed().toULong(&ok);
        if (ok && id) return m_window = id;
    }
    return 0;
}

bool FixtureApp::activate(std::chrono::milliseconds timeout) {
    const unsigned long id = windowId();
    if (!id) return false;
    runTool("xdotool", {"windowactivate", QString::number(id)});
    return waitUntil([id] { return activeWindowId() == id; }, timeout);
}

void FixtureApp::readOutput() {
    if (!m_process) return;
    m_buffer += m_process->readAllStandardOutput();
    qsizetype nl;
    while ((nl = m_buffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_buffer.left(nl);
        m_buffer.remove(0, nl + 1);
        if (line == "ready")
            m_ready = true;
        else if (line.startsWith("text: "))
            m_text = QString::fromUtf8(line.mid(6));
    }
}

QString FixtureApp::text() {
    readOutput();
    return m_text;
}

bool FixtureApp::waitForText(const QString& expected, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return text() == expected; }, timeout);
}

QByteArray runTool(const QString& program, const QStringList& args, const QByteArray& input, bool* ok,
                   std::chrono::milliseconds timeout) {
    QProcess p;
    p.start(program, args);
    bool fine = p.waitForStarted(int(timeout.count()));
    if (fine) {
        if (!input.isEmpty()) p.write(input);
        p.closeWriteChannel();
        fine = p.waitForFinished(int(timeout.count())) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(1000);
        }
    }
    if (ok) *ok = fine;
    return p.readAllStandardOutput();
}

std::unique_ptr<QProcess> startTool(const QString& program, const QStringList& args, const QByteArray& input) {
    auto p = std::make_unique<QProcess>();
    p->start(program, args);
    if (p->waitForStarted(5000)) {
        if (!input.isEmpty()) p->write(input);
        p->closeWriteChannel();
    }
    return p;
}

unsigned long activeWindowId() {
    const QByteArray out = runTool("xprop", {"-root", "_NET_ACTIVE_WINDOW"});
    const qsizetype hash = out.indexOf('#');
    if (hash < 0) return 0;
    bool ok = false;
    const unsigned long id = out.mid(hash + 1).trimmed().split(',').first().toULong(&ok, 16);
    return ok ? id : 0;
}
