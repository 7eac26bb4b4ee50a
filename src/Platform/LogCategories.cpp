#include "Platform/LogCategories.h"

Q_LOGGING_CATEGORY(lcAppDetector, "vantrose.AppDetector")
Q_LOGGING_CATEGORY(lcAtspiClient, "vantrose.AtspiClient")
Q_LOGGING_CATEGORY(lcClipboard, "vantrose.Clipboard")
Q_LOGGING_CATEGORY(lcContextReader, "vantrose.ContextReader")
Q_LOGGING_CATEGORY(lcEvdev, "vantrose.Evdev")
Q_LOGGING_CATEGORY(lcHotkeySource, "vantrose.HotkeySource")
Q_LOGGING_CATEGORY(lcPortal, "vantrose.Portal")
Q_LOGGING_CATEGORY(lcRemoteDesktop, "vantrose.RemoteDesktop")
Q_LOGGING_CATEGORY(lcScreenCapture, "vantrose.ScreenCapture")
Q_LOGGING_CATEGORY(lcTextInserter, "vantrose.TextInserter")
Q_LOGGING_CATEGORY(lcWayland, "vantrose.Wayland")
Q_LOGGING_CATEGORY(lcX11, "vantrose.X11")
