// A small window for the accessibility tests: one text field (optionally a password field)
// with a given text, caret and selection, plus labels whose words the window walk should find.
// Prints "TEXT:<text>" whenever the field changes and "READY" once shown.
//   atspi_fixture [--title T] [--field-name N] [--primary T] [--text T] [--cursor N] [--select START LEN] [--password]
//   [--label T]...
//                 [--fill N]
// Offsets are QString (UTF-16) indices, as Qt itself counts them. --fill N sets the text to N
// letters "abc…xyzabc…" and lifts the field's length limit.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <limits>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString title = QStringLiteral("Vantrose accessibility fixture");
    QString text;
    int cursor = -1, selStart = -1, selLength = 0;
    bool password = false;
    int fill = -1;
    QStringList labels;
    QString primary;
    QString fieldName = QStringLiteral("Fixture field");
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        auto next = [&]() { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--title"))
            title = next();
        else if (a == QLatin1String("--text"))
            text = next();
        else if (a == QLatin1String("--field-name"))
            fieldName = next();
        else if (a == QLatin1String("--cursor"))
            cursor = next().toInt();
        else if (a == QLatin1String("--select")) {
            selStart = next().toInt();
            selLength = next().toInt();
        } else if (a == QLatin1String("--password"))
            password = true;
        else if (a == QLatin1String("--primary"))
            primary = next();
        else if (a == QLatin1String("--label"))
            labels << next();
        else if (a == QLatin1String("--fill"))
            fill = next().toInt();
    }

    QWidget window;
    window.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&window);
    for (const QString& label : labels) layout->addWidget(new QLabel(label));
    auto* field = new QLineEdit;
    field->setAccessibleName(fieldName);
    if (password) field->setEchoMode(QLineEdit::Password);
    if (fill >= 0) {
        text.resize(fill);
        for (int c = 0; c < fill; ++c) text[c] = QChar(u'a' + c % 26);
        field->setMaxLength(std::numeric_limits<int>::max());
    }
    field->setText(text);
    layout->addWidget(field);
    QObject::connect(field, &QLineEdit::textChanged, [](const QString& t) {
        std::printf("TEXT:%s\n", t.toUtf8().constData());
        std::fflush(stdout);
    });
    window.resize(640, 200);
    window.show();
    window.activateWindow();
    field->setFocus();
    if (selStart >= 0)
        field->setSelection(selStart, selLength);
    else if (cursor >= 0)
        field->setCursorPosition(cursor);
    // Offer a selection of our own, as a terminal would after the user selected text.
    if (!primary.isEmpty()) QGuiApplication::clipboard()->setText(primary, QClipboard::Selection);
    QTimer::singleShot(0, [] {
        std::printf("READY\n");
        std::fflush(stdout);
    });
    return app.exec();
}
