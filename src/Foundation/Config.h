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

}  // namespace Config
