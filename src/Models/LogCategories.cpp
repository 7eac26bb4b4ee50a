#include "Models/LogCategories.h"

Q_LOGGING_CATEGORY(lcPersonalization, "vantrose.Personalization")
