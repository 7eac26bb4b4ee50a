#pragma once

#include <QLoggingCategory>

// The log categories of the storage, named "vantrose.<Component>" (Foundation/Logger.h).
Q_DECLARE_LOGGING_CATEGORY(lcHistoryStore)
