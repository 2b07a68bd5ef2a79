#pragma once

// The dialog templates of the program as data, the way a resource script
// holds them: for each dialog its caption, font and size in dialog units,
// and its controls in template order (which is their creation and tab
// order) with id, kind, text, position in dialog units, style and font.
// Both hosts build their dialogs from these tables, so the Qt window and
// the native Windows one show the same controls with the same roles.
//
// Texts are UTF-8.

#include <span>
#include <string_view>

namespace zelmora {

enum class ControlKind {
    PushButton,
    DefPushButton, // the dialog's default button (Enter)
    DropDownList,  // a drop-down list; its height includes the list
    ListBox,       // a list of entries shown at once, one of them selected
    Label,
    Icon, // the application icon
    Edit,
    MultiLineEdit,
    CheckBox,
    RadioButton,
    GroupBox,
};

// Style bits of a control beside its kind.
enum ControlStyle : unsigned {
    kStyleNone = 0,
    kStyleHidden = 1u << 0,
    kStyleReadOnly = 1u << 1,
    kStyleCentred = 1u << 2,
    kStyleRight = 1u << 3,
    kStyleDisabled = 1u << 4,
    kStyleTextLeft = 1u << 5,   // a check box with its text left of the box
    kStyleGroupStart = 1u << 6, // starts a group (radio buttons, labels)
    kStyleNumberEdit = 1u << 7, // takes only what a number is typed with (CNumberEditLogic)
    kStyleAlert = 1u << 8,      // its text is shown in the alert colour
};

// A font a control or dialog asks for: a face as the resources name it and
// a size in points. Hosts map the face onto an installed one.
struct FontResource {
    std::string_view face;
    int points = 0;
};

struct ControlResource {
    constexpr ControlResource(int controlId, ControlKind controlKind, std::string_view controlText,
                              int left, int top, int controlWidth, int controlHeight,
                              unsigned controlStyle = kStyleNone, FontResource controlFont = {},
                              std::string_view controlName = {})
        : id(controlId), kind(controlKind), text(controlText), x(left), y(top), width(controlWidth),
          height(controlHeight), style(controlStyle), font(controlFont), name(controlName) {}

    // The control's id; 0 for a control the program never addresses.
    int id = 0;
    ControlKind kind = ControlKind::Label;
    std::string_view text;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    unsigned style = kStyleNone;
    // A font of its own, or none (face empty): the dialog's.
    FontResource font;
    // A name for a control without an id, for hosts and tests to find it.
    std::string_view name;
};

// Style bits of a dialog beside a caption, a system menu and a modal frame,
// which every dialog here has.
enum DialogStyle : unsigned {
    kDialogNone = 0,
    kDialogMinimizeBox = 1u << 0,
    kDialogAppWindow = 1u << 1,  // shown in the task bar
    kDialogToolWindow = 1u << 2, // a narrow caption
};

struct DialogResource {
    int id = 0;
    std::string_view caption;
    FontResource font;
    int width = 0;
    int height = 0;
    std::span<const ControlResource> controls;
    unsigned style = kDialogNone;

    // The control with this id, or nullptr.
    const ControlResource* Find(int controlId) const;
};

// One entry of a menu: a popup with entries of its own, a command, or a
// separator (text empty, command 0, no entries).
struct MenuResource {
    constexpr MenuResource(std::string_view entryText, int entryCommand,
                           std::span<const MenuResource> subEntries = {})
        : text(entryText), command(entryCommand), entries(subEntries) {}

    std::string_view text;
    int command = 0;
    std::span<const MenuResource> entries;
};

// The colour of alert texts (red 192, green 0, blue 0).
inline constexpr unsigned kAlertRed = 0xC0;

// Dialog 102, the main window; dialog 131, Set Power Region; dialog 100,
// the About box; dialog 140, Find my meter.
const DialogResource& ZelmoraDialogResource();
const DialogResource& SetPowerRegionDialogResource();
const DialogResource& AboutDialogResource();
const DialogResource& FindMeterDialogResource();

// Menu 135: the main window's menu bar (the Help menu).
std::span<const MenuResource> ZelmoraMenuResource();
// String 101: the About entry of the system menu.
std::string_view AboutMenuText();

} // namespace zelmora
