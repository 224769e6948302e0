#pragma once
// Dialogs and menus as data. A dialog template is the list of its controls,
// each with its id, kind, text and rectangle in dialog units, in tab order;
// a menu template is the list of its popups and their commands. The layout
// engine (DialogBuilder.h) and the menu builder (Menus.h) turn them into Qt
// widgets; the program's own templates live in ui/.

#include <cstdint>
#include <span>

enum class ControlKind {
    GroupBox,  // a frame with a title
    Label,     // static text
    Frame,     // a static rectangle with no text (black, sunken, owner-drawn)
    Icon,      // a static icon; the text holds nothing, the owner sets the picture
    PushButton,
    DefaultPushButton,  // pressed by Enter
    ComboBox,           // drop-down list; the template height is the dropped list's
    Edit,               // single-line text field
    UpDown,             // two arrows that step a position of their own
    Trackbar,           // a slider
    ListView,           // report view: rows with columns
    RadioButton,        // automatic radio button
    CheckBox,           // automatic check box
};

// Style bits of a control; only those the program's templates use.
enum ControlStyle : std::uint32_t {
    kStyleNone = 0,
    kStyleRight = 1u << 0,      // text aligned right (edit, label)
    kStyleNumber = 1u << 1,     // edit takes digits only when typed
    kStyleReadOnly = 1u << 2,   // edit
    kStyleSunken = 1u << 3,     // label or frame drawn sunken
    kStyleBlackRect = 1u << 4,  // frame filled black
    kStyleOwnerDraw = 1u << 5,  // frame painted by its owner
    kStyleVertical = 1u << 6,   // trackbar
    kStyleNoTicks = 1u << 7,    // trackbar
    kStyleBorder = 1u << 8,     // edit or list view with a border
    kStyleSingleSel = 1u << 9,  // list view
    kStyleVScroll = 1u << 10,   // combo box list
    kStyleDisabled = 1u << 11,  // created disabled
};

struct ControlTemplate {
    int id;  // -1 for the static controls nobody addresses
    ControlKind kind;
    const char* text;         // "" for none; "&&" shows one '&'
    int x, y, width, height;  // dialog units
    std::uint32_t style = kStyleNone;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int width, height;  // client area, dialog units
    std::span<const ControlTemplate> controls;
};

// One item of a popup menu: a command, or a separator (id 0, no text).
struct MenuItemTemplate {
    const char* text;
    int id;
};

struct MenuPopupTemplate {
    const char* text;
    std::span<const MenuItemTemplate> items;
};

struct MenuTemplate {
    int id;
    std::span<const MenuPopupTemplate> popups;
};
