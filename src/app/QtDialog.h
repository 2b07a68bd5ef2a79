#pragma once

// A dialog built with Qt widgets from a DialogResource: the Qt side of the
// host seam (DialogHost). Each control is a widget whose objectName is its
// numeric id (or the resource's name for a control without one), placed
// in dialog units by CDialogTemplate, in template order, which is also the
// tab order.
//
// A dialog with a CDialogLogic runs it: the logic fills the controls when
// the dialog is first shown, and Enter, the default button, Esc, "Cancel"
// and the close box go to it. The main window (CZelmoraDlg) has its own
// logic and takes the controls' events through the On... hooks instead.

#include "window/WindowHost.h"

#include <QDialog>
#include <QPoint>
#include <map>

namespace zelmora {

class CDialogLogic;
class CDialogTemplate;
struct DialogResource;

class CQtDialog : public QDialog, public DialogHost {
    Q_OBJECT

public:
    // A dialog run by `logic`, which must outlive it; its controls are
    // built from the logic's resource.
    CQtDialog(CDialogLogic& logic, QWidget* parent = nullptr);
    ~CQtDialog() override;

    // The control with this id, or nullptr.
    QWidget* GetControl(int id) const;

    int DoModal() { return exec(); }

    // DialogHost.
    std::string GetText(int id) const override;
    void SetText(int id, std::string_view text) override;
    bool IsChecked(int id) const override;
    void SetChecked(int id, bool checked) override;
    void SetEnabled(int id, bool enabled) override;
    void SetVisible(int id, bool visible) override;
    void ClearList(int id) override;
    void AddListEntry(int id, std::string_view text) override;
    int GetListSelection(int id) const override;
    void SetListSelection(int id, int index) override;
    int GetFocus() const override;
    void SetFocus(int id) override;
    void ShowMessageBox(std::string_view text) override;
    void CopyToClipboard(std::string_view text) override;
    void EndDialog(int result) override;

public slots:
    // The default button or Enter, and Esc, "Cancel" or the close box: the
    // logic's OnOK and OnCancel, which end the dialog or keep it open.
    void accept() override;
    void reject() override;

protected:
    // A dialog whose logic comes later (HostLogic), or that has none of
    // its own (the main window).
    CQtDialog(QWidget* parent, Qt::WindowFlags flags);
    // The flags of a small modal dialog: caption, system menu, close box,
    // fixed size.
    static Qt::WindowFlags SmallDialogFlags();

    // Runs `logic`, which must outlive the dialog, and builds the controls
    // from its resource.
    void HostLogic(CDialogLogic& logic);

    // Sets the resource's font, caption and size (the client area starts
    // at `origin`, below a menu bar for example) and creates the controls.
    void BuildFromResource(const DialogResource& resource, QPoint origin = {});

    // The operator's events on the controls.
    virtual void OnControlClicked(int id);
    virtual void OnControlListChanged(int id);
    virtual void OnControlEdited(int id);
    virtual void OnControlLostFocus(int id);

    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Removes the controls while the logic that their handlers reach still
    // exists; for destructors of subclasses.
    void DeleteControls();

private:
    template <class Widget>
    Widget* Add(int id, Widget* widget);
    int IdOf(const QObject* widget) const;

    CDialogLogic* m_logic = nullptr;
    bool m_bInitialised = false;
    // Set while the program itself writes an edit box, whose change
    // notification is for the operator's typing only.
    bool m_bSettingText = false;
    std::map<int, QWidget*> m_controls;
};

} // namespace zelmora
