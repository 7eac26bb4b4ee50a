#pragma once

#include <QObject>
#include <QString>

#include <optional>

// The account as the views show and drive it: whether someone is signed in, a sign-in under way
// and its error, sign-in and sign-out. The account layer implements it (AuthManager); the
// program hands it to the views. Main thread only.
class AbstractAccount : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
public:
    explicit AbstractAccount(QObject* parent = nullptr) : QObject(parent) {}

    virtual bool isAuthenticated() const = 0;
    virtual bool isLoading() const = 0;
    // Empty when there is no error.
    virtual QString errorMessage() const = 0;
    virtual bool hasErrorMessage() const = 0;
    // The signed-in user's e-mail address; nothing while no user is known.
    virtual std::optional<QString> currentUserEmail() const = 0;

    virtual void signInWithGoogle() = 0;
    virtual void logout() = 0;

Q_SIGNALS:
    void isAuthenticatedChanged(bool isAuthenticated);
    void currentUserChanged();
    void isLoadingChanged(bool isLoading);
    void errorMessageChanged(const QString& errorMessage);
};
