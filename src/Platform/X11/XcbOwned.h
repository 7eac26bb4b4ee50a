#pragma once

#include <cstdlib>
#include <memory>

// The one owner of what xcb hands over to be freed: replies, events and errors are malloc'd
// and the caller frees each once. Take them at once, so no path leaks one or frees it twice:
//     const auto reply = xcbOwned(xcb_get_property_reply(connection, cookie, nullptr));
struct XcbFree {
    void operator()(void* memory) const noexcept { std::free(memory); }
};

template <typename T>
using XcbOwned = std::unique_ptr<T, XcbFree>;

template <typename T>
XcbOwned<T> xcbOwned(T* memory) {
    return XcbOwned<T>(memory);
}
