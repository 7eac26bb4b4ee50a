#pragma once

#include <QLoggingCategory>

// The log categories of the models, named "vantrose.<Component>" (Foundation/Logger.h).
Q_DECLARE_LOGGING_CATEGORY(lcPersonalization)
