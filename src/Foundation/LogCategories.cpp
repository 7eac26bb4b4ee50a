#include "Foundation/LogCategories.h"

Q_LOGGING_CATEGORY(lcProgram, "vantrose")
Q_LOGGING_CATEGORY(lcUserDefaults, "vantrose.UserDefaults")
