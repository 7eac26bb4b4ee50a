#include "Eval/LogCategories.h"

Q_LOGGING_CATEGORY(lcEval, "vantrose.Eval")
