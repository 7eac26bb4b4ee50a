#pragma once

#include "Foundation/DelayedCall.h"
#include "Models/TranscriptionResult.h"

#include <QIcon>
#include <QStringList>
#include <QWidget>

#include <optional>

class QLabel;
class QTimer;
class QToolButton;

// An application's icon by its identifier (desktop-file id, Flatpak id or WM_CLASS), or a
// generic application glyph on a light gray square when no icon is found. The icon is
// stretched to the widget's size and clipped to a rounded square.
class AppIconView : public QWidget {
    Q_OBJECT
public:
    explicit AppIconView(const QString& bundleId, QWidget* parent = nullptr);

    const QString& bundleId() const { return m_bundleId; }
    void setBundleId(const QString& bundleId);
    // The application's icon; none for an empty or unknown identifier.
    std::optional<QIcon> appIcon() const { return m_icon; }

    // The icon name (a theme name or an absolute file path) for an identifier: the Icon= entry
    // of its desktop file, looked up in `applicationDirs` by file name (as given, then in lower
    // case) and then by StartupWMClass; none when no desktop file names it.
    static std::optional<QString> desktopIconName(const QString& bundleId, const QStringList& applicationDirs);
    // The icon for an identifier, through its desktop file and the icon theme.
    static std::optional<QIcon> lookUpIcon(const QString& bundleId);

    QSize sizeHint() const override { return {24, 24}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_bundleId;
    std::optional<QIcon> m_icon;
};

// One finished dictation: application icon, the text that was pasted (two lines at most), application
// name, age, word count, and a copy button that puts that text on the clipboard.
// `text` as it fits in at most `maxLines` lines of `width` in `font`: the lines it needs when
// they fit, else the first lines whole and the last one cut with an ellipsis. Lines are joined
// with line breaks where the wrap fell.
QString clampedToLines(const QString& text, const QFont& font, int width, int maxLines);

class TranscriptRow : public QWidget {
    Q_OBJECT
public:
    explicit TranscriptRow(const TranscriptionResult& result, QWidget* parent = nullptr,
                           DelayedCall delayedCall = timerDelayedCall());

    const TranscriptionResult& result() const { return m_result; }
    bool isCopied() const { return m_copied; }
    // What the copy button runs: the pasted text, as plain text only, replaces the clipboard.
    void copy();
    // The copy button's glyph and opacity right now.
    QString copyGlyph() const;
    double copyButtonOpacity() const;

    QLabel* textLabel() const { return m_text; }
    QLabel* appLabel() const { return m_app; }
    QLabel* ageLabel() const { return m_age; }
    QLabel* wordsLabel() const { return m_words; }
    QToolButton* copyButton() const { return m_copyButton; }
    AppIconView* iconView() const { return m_icon; }

    static constexpr double copiedSeconds = 1.5;
    // Whether the age is being kept current (only while the row is on screen).
    bool refreshesAge() const;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refreshAge();
    void refreshCopyButton();

    TranscriptionResult m_result;
    DelayedCall m_delayedCall;
    bool m_copied = false;
    bool m_hovered = false;
    AppIconView* m_icon = nullptr;
    QLabel* m_text = nullptr;
    QLabel* m_app = nullptr;
    QLabel* m_age = nullptr;
    QLabel* m_words = nullptr;
    QToolButton* m_copyButton = nullptr;
    QTimer* m_ageTimer = nullptr;
};
