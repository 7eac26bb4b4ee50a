#pragma once

#include <QLoggingCategory>

// The log categories of the application, named "vantrose.<Component>" (Foundation/Logger.h).
Q_DECLARE_LOGGING_CATEGORY(lcLaunchAfterAuth)
Q_DECLARE_LOGGING_CATEGORY(lcPermissions)
Q_DECLARE_LOGGING_CATEGORY(lcSingleInstance)
Q_DECLARE_LOGGING_CATEGORY(lcStatusItem)
Q_DECLARE_LOGGING_CATEGORY(lcVantrose)
Q_DECLARE_LOGGING_CATEGORY(lcWindows)
