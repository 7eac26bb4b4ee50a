#include "Storage/LogCategories.h"

Q_LOGGING_CATEGORY(lcHistoryStore, "vantrose.HistoryStore")
