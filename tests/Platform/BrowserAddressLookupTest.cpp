#include "Platform/BrowserAddressLookup.h"

#include <gtest/gtest.h>

TEST(BrowserAddressLookupTest, BrowsersAreKnownByTheirIdentifiers) {
    const struct {
        const char* bundleId;
        bool browser;
    } cases[] = {
        {"org.chromium.Chromium", true},
        {"chromium", true},
        {"google-chrome", true},
        {"org.mozilla.firefox", true},
        {"com.brave.Browser", true},
        {"org.gnome.Terminal", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bundleId);
        EXPECT_EQ(BrowserAddressLookup::isBrowser(QString::fromLatin1(c.bundleId)), c.browser);
    }
}
