// Which desktop back-end a session gets, from its variables alone.
#include "Platform/DesktopBackend.h"

#include <gtest/gtest.h>

TEST(DesktopBackendTest, TheSessionsVariablesPickTheBackEnd) {
    const struct {
        const char* waylandDisplay;
        const char* sessionType;
        const char* display;
        const char* expected;
    } cases[] = {
        {"wayland-0", "wayland", ":0", "wayland"},  // a Wayland session with XWayland
        {"wayland-0", "", "", "wayland"},           // a compositor without XWayland
        {"", "wayland", ":0", "wayland"},           // the session says so before the socket is set
        {"", "x11", ":0", "x11"},
        {"", "", ":1", "x11"},  // a bare X server (the test desktop)
        {"", "tty", "", "none"},
        {"", "", "", "none"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DesktopBackend::kindFor(c.waylandDisplay, c.sessionType, c.display), c.expected)
            << c.waylandDisplay << "|" << c.sessionType << "|" << c.display;
}
