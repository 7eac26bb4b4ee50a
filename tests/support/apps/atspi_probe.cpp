// An assistive tool in miniature, for desktop tests that check what a program offers on the
// accessibility bus. It runs as its own process, as a screen reader would, so the program under
// test answers on its own main thread while the test waits for this one.
//
//   atspi_probe PID names ROLE             every name of an element with that role, one a line
//   atspi_probe PID actions ROLE NAME      the action names of the first such element
//   atspi_probe PID do ROLE NAME [INDEX]   runs one of its actions (the first by default)
//
// ROLE is an AT-SPI role name ("push button", "list item"). Exit status 0 on success, 1 when
// the application or the element is not found, 2 on bad arguments.
#include <atspi/atspi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Owned {
    AtspiAccessible* accessible = nullptr;
    explicit Owned(AtspiAccessible* a) : accessible(a) {}
    ~Owned() {
        if (accessible) g_object_unref(accessible);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

std::string text(gchar* value) {
    std::string result = value ? value : "";
    g_free(value);
    return result;
}

std::string roleName(AtspiAccessible* a) { return text(atspi_accessible_get_role_name(a, nullptr)); }
std::string name(AtspiAccessible* a) { return text(atspi_accessible_get_name(a, nullptr)); }

AtspiAccessible* findApplication(int pid) {
    Owned desktop(atspi_get_desktop(0));
    const int count = atspi_accessible_get_child_count(desktop.accessible, nullptr);
    for (int i = 0; i < count; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop.accessible, i, nullptr);
        if (!app) continue;
        if (int(atspi_accessible_get_process_id(app, nullptr)) == pid) return app;
        g_object_unref(app);
    }
    return nullptr;
}

// Depth-first, in child order; `visit` answers true to stop. Answers whether it stopped.
template <typename Visit>
bool walk(AtspiAccessible* element, int depth, Visit&& visit) {
    if (depth > 40) return false;
    if (visit(element)) return true;
    const int count = atspi_accessible_get_child_count(element, nullptr);
    for (int i = 0; i < count && i < 2000; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(element, i, nullptr);
        if (!child) continue;
        const bool stopped = walk(child, depth + 1, visit);
        g_object_unref(child);
        if (stopped) return true;
    }
    return false;
}

AtspiAccessible* findElement(AtspiAccessible* app, const std::string& role, const std::string& wanted) {
    AtspiAccessible* found = nullptr;
    walk(app, 0, [&](AtspiAccessible* element) {
        if (roleName(element) != role || name(element) != wanted) return false;
        found = static_cast<AtspiAccessible*>(g_object_ref(element));
        return true;
    });
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const int pid = std::atoi(argv[1]);
    const std::string command = argv[2];
    const std::string role = argv[3];
    if (atspi_init() < 0) return 1;
    atspi_set_timeout(5000, 5000);
    Owned app(findApplication(pid));
    if (!app.accessible) {
        std::fprintf(stderr, "atspi_probe: no application with pid %d\n", pid);
        return 1;
    }
    if (command == "names") {
        walk(app.accessible, 0, [&](AtspiAccessible* element) {
            if (roleName(element) == role) std::printf("%s\n", name(element).c_str());
            return false;
        });
        return 0;
    }
    if (argc < 5) return 2;
    Owned element(findElement(app.accessible, role, argv[4]));
    if (!element.accessible) {
        std::fprintf(stderr, "atspi_probe: no %s named \"%s\"\n", role.c_str(), argv[4]);
        return 1;
    }
    AtspiAction* action = atspi_accessible_get_action_iface(element.accessible);
    const int actions = action ? atspi_action_get_n_actions(action, nullptr) : 0;
    if (command == "actions") {
        for (int i = 0; i < actions; ++i)
            std::printf("%s\n", text(atspi_action_get_action_name(action, i, nullptr)).c_str());
    } else if (command == "do") {
        const int index = argc > 5 ? std::atoi(argv[5]) : 0;
        if (index >= actions) {
            std::fprintf(stderr, "atspi_probe: the element has %d actions\n", actions);
            return 1;
        }
        GError* error = nullptr;
        const gboolean done = atspi_action_do_action(action, index, &error);
        if (error) g_error_free(error);
        if (!done) return 1;
    } else {
        return 2;
    }
    if (action) g_object_unref(action);
    return 0;
}
