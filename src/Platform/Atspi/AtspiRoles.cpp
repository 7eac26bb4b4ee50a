#include "Platform/Atspi/AtspiRoles.h"

namespace AtspiRoles {

bool isTextInput(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_COMBO_BOX: return true;
    default: return false;
    }
}

Group groupOf(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_SCROLL_BAR:
    case ATSPI_ROLE_SEPARATOR:
    case ATSPI_ROLE_RULER:
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_COLOR_CHOOSER:
    case ATSPI_ROLE_PROGRESS_BAR:
    case ATSPI_ROLE_LEVEL_BAR:
    case ATSPI_ROLE_ANIMATION: return Group::Skip;
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_LINK:
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_PAGE_TAB: return Group::TextBearing;
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_SPLIT_PANE:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TREE_TABLE:
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
    case ATSPI_ROLE_PAGE_TAB_LIST:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_GROUPING: return Group::Structural;
    default: return Group::Other;
    }
}

}  // namespace AtspiRoles
