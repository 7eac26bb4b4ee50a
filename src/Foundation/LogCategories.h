#pragma once

#include <QLoggingCategory>

// The log categories of the foundation. "vantrose" is the program's own, for lines without a component
// prefix; each other one is named "vantrose.<Component>" and gives its lines that prefix in main.log.
// A category used by several layers lives in the lowest of them.
Q_DECLARE_LOGGING_CATEGORY(lcProgram)
Q_DECLARE_LOGGING_CATEGORY(lcUserDefaults)
