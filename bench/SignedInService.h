#pragma once
// A local service in the benchmark's process, on a free port, and an access token of its local
// account obtained through the consent page, the way the program signs in.
#include "VantroseService.h"

#include "Auth/AuthManager.h"
#include "Foundation/Config.h"
#include "Foundation/UserDefaults.h"
#include "support/ConsentBrowser.h"
#include "support/TestEnvironment.h"

#include <QTemporaryDir>

#include <chrono>
#include <memory>

struct SignedInService {
    QTemporaryDir dataDir;
    std::unique_ptr<VantroseService> service;
    QString accessToken;

    // `recognisers`: how many recognisers stay loaded between dictations.
    bool start(int recognisers = 1) {
        ServiceOptions options;
        options.dataDir = dataDir.path();
        options.port = 0;
        options.clientId = Config::googleClientID();
        options.urlScheme = Config::urlScheme();
        options.login = QStringLiteral("bench");
        options.speech.ollamaBase.clear();  // formatting by rule: the figure is the recogniser's
        options.speech.maxIdleEngines = recognisers;
        service = std::make_unique<VantroseService>(options);
        if (service->listen() == 0) return false;
        return signIn(service->baseUrl(), service->port());
    }

    bool signIn(const QString& base, int port) {
        UserDefaults::shared().setValue("cloudServerURL", base);
        AuthManager::installAsTokenSource();
        QList<QUrl> opened;
        AuthManager::setURLOpener([&](const QUrl& url) {
            opened << url;
            return true;
        });
        AuthManager& auth = AuthManager::shared();
        auth.signInWithGoogle();
        AuthManager::setURLOpener({});
        if (opened.isEmpty()) return false;
        QString error;
        const QUrl callback = acceptConsent(opened.first(), &error, port);
        if (!callback.isValid()) return false;
        auth.handleURL(callback);
        if (!waitUntil([&] { return auth.isAuthenticated() && !auth.isLoading(); }, std::chrono::seconds(20)))
            return false;
        accessToken = UserDefaults::shared().string(AuthManager::accessTokenKey);
        return !accessToken.isEmpty();
    }
};
