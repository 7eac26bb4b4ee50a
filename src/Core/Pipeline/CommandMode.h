#pragma once

#include "Core/Pipeline/PolishEngine.h"

#include <QObject>
#include <QPointer>
#include <QString>

// Observable state of the command mode built around the polish engine; published by the
// pipeline and not acted on yet.
class CommandMode : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isActive READ isActive WRITE setActive NOTIFY isActiveChanged)
    Q_PROPERTY(QString lastCommand READ lastCommand WRITE setLastCommand NOTIFY lastCommandChanged)

public:
    explicit CommandMode(PolishEngine* polishEngine, QObject* parent = nullptr)
        : QObject(parent),
          m_polishEngine(polishEngine) {}

    bool isActive() const { return m_isActive; }
    QString lastCommand() const { return m_lastCommand; }
    PolishEngine* polishEngine() const { return m_polishEngine; }

    void setActive(bool active) {
        if (m_isActive == active) return;
        m_isActive = active;
        Q_EMIT isActiveChanged();
    }
    void setLastCommand(const QString& command) {
        if (m_lastCommand == command) return;
        m_lastCommand = command;
        Q_EMIT lastCommandChanged();
    }

Q_SIGNALS:
    void isActiveChanged();
    void lastCommandChanged();

private:
    bool m_isActive = false;
    QString m_lastCommand;
    QPointer<PolishEngine> m_polishEngine;
};
