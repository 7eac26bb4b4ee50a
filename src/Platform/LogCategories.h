#pragma once

#include <QLoggingCategory>

// The log categories of the platform, named "vantrose.<Component>" (Foundation/Logger.h).
Q_DECLARE_LOGGING_CATEGORY(lcAppDetector)
Q_DECLARE_LOGGING_CATEGORY(lcAtspiClient)
Q_DECLARE_LOGGING_CATEGORY(lcClipboard)
Q_DECLARE_LOGGING_CATEGORY(lcContextReader)
Q_DECLARE_LOGGING_CATEGORY(lcEvdev)
Q_DECLARE_LOGGING_CATEGORY(lcHotkeySource)
Q_DECLARE_LOGGING_CATEGORY(lcPortal)
Q_DECLARE_LOGGING_CATEGORY(lcRemoteDesktop)
Q_DECLARE_LOGGING_CATEGORY(lcScreenCapture)
Q_DECLARE_LOGGING_CATEGORY(lcTextInserter)
Q_DECLARE_LOGGING_CATEGORY(lcWayland)
Q_DECLARE_LOGGING_CATEGORY(lcX11)
