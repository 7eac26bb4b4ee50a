#include "Platform/LogCategories.h"

Q_LOGGING_CATEGORY(lcAppDetector, "vantrose.AppDetector")
Q_LOGGING_CATEGORY(lcAtspiClient, "vantrose.AtspiClient")
Q_LOGGING_CATEGORY(lcClipboard, "vantrose.Clipboard")
Q_LOGGING_CATEGORY(lcContextReader, "vantrose.ContextReader")
Q_LOGGING_CATEGORY(lcScreenCapture, "vantrose.ScreenCapture")
Q_LOGGING_CATEGORY(lcTextInserter, "vantrose.TextInserter")
Q_LOGGING_CATEGORY(lcX11, "vantrose.X11")
