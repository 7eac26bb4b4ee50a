#include "App/LogCategories.h"

Q_LOGGING_CATEGORY(lcLaunchAfterAuth, "vantrose.LaunchAfterAuth")
Q_LOGGING_CATEGORY(lcPermissions, "vantrose.Permissions")
Q_LOGGING_CATEGORY(lcSingleInstance, "vantrose.SingleInstance")
Q_LOGGING_CATEGORY(lcStatusItem, "vantrose.StatusItem")
Q_LOGGING_CATEGORY(lcVantrose, "vantrose.Vantrose")
Q_LOGGING_CATEGORY(lcWindows, "vantrose.Windows")
