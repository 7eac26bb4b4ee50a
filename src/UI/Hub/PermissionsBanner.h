#pragma once

#include <QWidget>

#include <functional>

class QPushButton;

// How the hub reads and asks for the two permissions. The shell provides these; an empty read
// counts as granted, an empty action does nothing.
struct HubPermissions {
    std::function<bool()> accessibilityGranted;
    std::function<bool()> microphoneGranted;
    std::function<void()> openAccessibilitySettings;  // the desktop's own way of granting it
    std::function<void()> requestMicrophone;          // none: ask the audio engine
    std::function<QString()> accessibilityNotice;     // what granted accessibility still lacks

    bool readAccessibility() const { return accessibilityGranted ? accessibilityGranted() : true; }
    bool readMicrophone() const { return microphoneGranted ? microphoneGranted() : true; }
    QString readAccessibilityNotice() const { return accessibilityNotice ? accessibilityNotice() : QString(); }
};

// One missing permission: glyph, title, description and a "Grant" button running `action`.
class PermissionRow : public QWidget {
    Q_OBJECT
public:
    PermissionRow(const QString& icon, const QString& title, const QString& description,
                  std::function<void()> action, QWidget* parent = nullptr);

    const QString& title() const { return m_title; }
    QPushButton* grantButton() const { return m_grant; }

private:
    QString m_title;
    QPushButton* m_grant = nullptr;
};

// The card naming the missing permissions, one row each, Accessibility first. It holds only
// the two flags it was built with; the home tab rebuilds it when they change.
class PermissionsBanner : public QWidget {
    Q_OBJECT
public:
    PermissionsBanner(bool axGranted, bool micGranted, const HubPermissions& permissions,
                      QWidget* parent = nullptr);

    QList<PermissionRow*> rows() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
