#include "Auth/LogCategories.h"

Q_LOGGING_CATEGORY(lcAuth, "vantrose.Auth")
