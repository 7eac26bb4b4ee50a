#pragma once

#include <QString>

// Deployment values the rest of the program reads by role. Each is copied once, on first read.
namespace Config {

// OAuth client identifier of the Google sign-in.
const QString& googleClientID();
// The vendor server used when the user default "cloudServerURL" is absent.
const QString& defaultServerURL();
// The URL scheme the sign-in callback arrives under (registered by the .desktop file).
const QString& urlScheme();

// Whether signing in goes through Google: the build's authorisation page is Google's own (the
// local service signs in its login user instead). Decides how the sign-in button is labelled.
bool signsInWithGoogle();
// Whether `authorizationPage` is Google's: https on google.com or one of its subdomains.
bool isGoogleAuthorizationPage(const QString& authorizationPage);

}  // namespace Config
