#pragma once

// The seam between the window logic and a toolkit.
//
// The logic (CZelmoraDlgLogic, CSetPowerRegionDlgLogic, CAboutDlgLogic)
// decides everything a dialog does; a host builds the dialog from its
// DialogResource with the toolkit's controls and gives the logic these
// calls. The logic reaches its controls only by their ids, as the graph
// reaches pixels only through Canvas. The host in turn tells the logic
// what the operator did (the logic's On... calls), always on the window's
// thread.
//
// Texts are UTF-8 on both sides.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

class Canvas;
class CDialogLogic;

// The controls of one dialog, by id, and the dialog itself.
class DialogHost {
public:
    virtual ~DialogHost() = default;

    // The text a control shows: an edit box's or label's text, a button's
    // caption, a drop-down list's selected entry (empty without one).
    virtual std::string GetText(int id) const = 0;
    // Sets it. Text set here is never taken for the operator's typing.
    virtual void SetText(int id, std::string_view text) = 0;

    virtual bool IsChecked(int id) const = 0;
    virtual void SetChecked(int id, bool checked) = 0;
    virtual void SetEnabled(int id, bool enabled) = 0;
    virtual void SetVisible(int id, bool visible) = 0;

    // Drop-down lists and list boxes: entries and the selected one (-1:
    // none).
    virtual void ClearList(int id) = 0;
    virtual void AddListEntry(int id, std::string_view text) = 0;
    virtual int GetListSelection(int id) const = 0;
    virtual void SetListSelection(int id, int index) = 0;

    // The control with the keyboard focus (0: none of this dialog's), and
    // giving it to one; a control that cannot take it (a hidden one) still
    // takes it away from the others.
    virtual int GetFocus() const = 0;
    virtual void SetFocus(int id) = 0;

    // A modal message box with an OK button and the application's title.
    virtual void ShowMessageBox(std::string_view text) = 0;

    // Puts a text on the desktop's clipboard.
    virtual void CopyToClipboard(std::string_view text) = 0;

    // Ends the dialog with this result (DialogIds::kIdOk or kIdCancel).
    virtual void EndDialog(int result) = 0;
};

// A rectangle in the window's client pixels.
struct HostRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// What the save-file dialog is asked for.
struct SaveFileRequest {
    struct Filter {
        std::string name;    // "Comma Separated Value(*.csv)"
        std::string pattern; // "*.csv"
    };
    std::vector<Filter> filters;
    // The extension a name typed without one gets (the first filter's).
    std::string defaultExtension;
    // The dialog's title; the platform's own when empty.
    std::string title;
    // The file proposed, in the folder the dialog opens in; none when empty.
    std::string initialPath;
};

// What the main window needs of its host besides its controls.
class WindowHost {
public:
    virtual ~WindowHost() = default;

    // The two window timers: (re)started with a period, or stopped. Each
    // tick calls the logic's OnTimer with the id.
    virtual void StartTimer(int timerId, int periodMs) = 0;
    virtual void KillTimer(int timerId) = 0;

    // A menu or toolbar command is enabled or greyed.
    virtual void EnableCommand(int commandId, bool enabled) = 0;

    // A control's place in client pixels.
    virtual HostRect GetControlRect(int id) const = 0;
    // The pixels per inch of the window's screen, when its pixels are the
    // screen's (the graph's text is scaled by it); 96 where the toolkit
    // scales the window's pixels itself.
    virtual int GetDpi() const { return 96; }
    // Draws the graph: `draw` paints a fresh black surface of the area's
    // size through a canvas, and the host shows it whole in the area.
    virtual void DrawGraph(const HostRect& area, const std::function<void(Canvas&)>& draw) = 0;

    // A question with two answers; true for the first. Modal.
    virtual bool AskQuestion(std::string_view title, std::string_view question,
                             std::string_view yes, std::string_view no) = 0;
    // A warning that does not hold up the window's timers: the refresh
    // goes on while the operator reads it.
    virtual void ShowWarning(std::string_view title, std::string_view message) = 0;
    // The platform's save-file dialog; nothing when cancelled.
    virtual std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request) = 0;

    // Runs a small dialog modally (CSetPowerRegionDlgLogic, CAboutDlgLogic).
    virtual void RunDialog(CDialogLogic& dialog) = 0;

    // Opens a document with the desktop's viewer; a relative name is looked
    // for in the current folder. Failures are the desktop's to show.
    virtual void OpenDocument(const std::string& name) = 0;
    // Where the manuals are looked for before the current folder, in this
    // order: the program's own folder, the folder the documentation is
    // installed to.
    virtual std::vector<std::string> GetManualFolders() const = 0;

    // The folder the default log file goes to: the user's desktop folder
    // (or another the platform offers where there is none), with no
    // separator at its end.
    virtual std::string GetDesktopFolder() const = 0;
};

} // namespace zelmora
