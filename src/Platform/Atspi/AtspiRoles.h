#pragma once

#include <atspi/atspi.h>

// How the client treats AT-SPI roles: pure tables, no calls into other applications.
namespace AtspiRoles {

// Roles a user types into.
bool isTextInput(AtspiRole role);

// The window walk visits text-bearing children first and skips purely graphical ones.
enum class Group { Skip, TextBearing, Structural, Other };
Group groupOf(AtspiRole role);

}  // namespace AtspiRoles
