#pragma once

#include "UI/Common/ViewPermissions.h"

#include <QWidget>

#include <functional>

class QPushButton;

// One missing permission: glyph, title, description and a "Grant" button running `action`; a row
// without an action only informs and has no button.
class PermissionRow : public QWidget {
    Q_OBJECT
public:
    PermissionRow(const QString& icon, const QString& title, const QString& description, std::function<void()> action,
                  QWidget* parent = nullptr);

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
    PermissionsBanner(bool axGranted, bool micGranted, const ViewPermissions& permissions, QWidget* parent = nullptr);

    QList<PermissionRow*> rows() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
