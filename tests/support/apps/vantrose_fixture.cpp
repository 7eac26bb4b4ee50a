// A small window with one text field, started by desktop tests as a paste or focus target.
//   vantrose_fixture [--class NAME] [--title TITLE] [--password]
// Prints "ready" once shown and "text: <contents>" every time the field's text changes;
// --class sets the window's WM_CLASS, --password adds a password field below the text field.
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

int main(int argc, char** argv) {
    QString cls = QStringLiteral("VantroseFixture"), title = QStringLiteral("Vantrose fixture");
    bool password = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        if (arg == "--class" && i + 1 < argc)
            cls = QString::fromLocal8Bit(argv[++i]);
        else if (arg == "--title" && i + 1 < argc)
            title = QString::fromLocal8Bit(argv[++i]);
        else if (arg == "--password")
            password = true;
    }
    // WM_CLASS is taken from RESOURCE_NAME (instance) and the application name (class).
    qputenv("RESOURCE_NAME", cls.toLocal8Bit());
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(cls);

    QWidget window;
    window.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&window);
    auto* field = new QLineEdit(&window);
    field->setObjectName(QStringLiteral("text"));
    field->setAccessibleName(QStringLiteral("text field"));
    layout->addWidget(field);
    QObject::connect(field, &QLineEdit::textChanged, [](const QString& text) {
        std::printf("text: %s\n", text.toUtf8().constData());
        std::fflush(stdout);
    });
    if (password) {
        auto* secret = new QLineEdit(&window);
        secret->setObjectName(QStringLiteral("password"));
        secret->setAccessibleName(QStringLiteral("password field"));
        secret->setEchoMode(QLineEdit::Password);
        layout->addWidget(secret);
    }
    window.resize(400, password ? 120 : 80);
    window.show();
    window.activateWindow();
    field->setFocus();
    QTimer::singleShot(0, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return app.exec();
}
