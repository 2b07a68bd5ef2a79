#pragma once

// A window host without a toolkit: every control of a dialog resource kept
// as plain state, the window's timers, commands, prompts and documents
// recorded. The logic's tests drive it as an operator would, through the
// logic's On... calls, and read what the controls show. An id that the
// resource does not have fails the test.

#include "graph/RecordingCanvas.h"
#include "window/DialogLogic.h"
#include "window/DialogResource.h"
#include "window/WindowHost.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace zelmora::test {

struct FakeControl {
    ControlKind kind = ControlKind::Label;
    std::string text;
    bool checked = false;
    bool enabled = true;
    bool visible = true;
    std::vector<std::string> entries;
    int selection = -1;
    HostRect rect;
};

class FakeDialogHost : public DialogHost {
public:
    explicit FakeDialogHost(const DialogResource& resource) {
        for (const ControlResource& control : resource.controls) {
            if (control.id == 0) {
                continue;
            }
            EXPECT_EQ(m_controls.count(control.id), 0u) << "id " << control.id << " twice";
            FakeControl& fake = m_controls[control.id];
            fake.kind = control.kind;
            fake.text = std::string(control.text);
            fake.enabled = (control.style & kStyleDisabled) == 0;
            fake.visible = (control.style & kStyleHidden) == 0;
            // Two pixels a dialog unit, as a font of 8 × 16 pixels gives.
            fake.rect = {control.x * 2, control.y * 2, control.width * 2, control.height * 2};
        }
    }

    FakeControl& At(int id) {
        const auto found = m_controls.find(id);
        if (found == m_controls.end()) {
            ADD_FAILURE() << "the dialog has no control " << id;
            static FakeControl none;
            return none;
        }
        return found->second;
    }
    const FakeControl& At(int id) const { return const_cast<FakeDialogHost*>(this)->At(id); }

    // The operator types into a box that has the focus.
    void Type(int id, std::string text) {
        At(id).text = std::move(text);
        focus = id;
    }

    std::string GetText(int id) const override {
        const FakeControl& control = At(id);
        if (control.kind == ControlKind::DropDownList || control.kind == ControlKind::ListBox) {
            return control.selection >= 0 ? control.entries[control.selection] : std::string();
        }
        return control.text;
    }
    void SetText(int id, std::string_view text) override { At(id).text = std::string(text); }
    bool IsChecked(int id) const override { return At(id).checked; }
    void SetChecked(int id, bool checked) override { At(id).checked = checked; }
    void SetEnabled(int id, bool enabled) override { At(id).enabled = enabled; }
    void SetVisible(int id, bool visible) override { At(id).visible = visible; }
    void ClearList(int id) override {
        At(id).entries.clear();
        At(id).selection = -1;
    }
    void AddListEntry(int id, std::string_view text) override { At(id).entries.emplace_back(text); }
    int GetListSelection(int id) const override { return At(id).selection; }
    void SetListSelection(int id, int index) override {
        At(id).selection = index < static_cast<int>(At(id).entries.size()) ? index : -1;
    }
    int GetFocus() const override { return focus; }
    void SetFocus(int id) override {
        At(id);
        const int previous = focus;
        focus = id;
        // The box that had the focus is told, as a toolkit tells it.
        if (previous != 0 && previous != id && onLostFocus) {
            onLostFocus(previous);
        }
    }
    void ShowMessageBox(std::string_view text) override { messageBoxes.emplace_back(text); }
    void CopyToClipboard(std::string_view text) override { clipboard = std::string(text); }
    void EndDialog(int result) override { endResult = result; }

    int focus = 0;
    std::string clipboard;
    std::function<void(int)> onLostFocus;
    std::vector<std::string> messageBoxes;
    int endResult = 0;

private:
    std::map<int, FakeControl> m_controls;
};

// The main window's host.
class FakeWindowHost : public FakeDialogHost, public WindowHost {
public:
    FakeWindowHost() : FakeDialogHost(ZelmoraDialogResource()) {}

    void StartTimer(int timerId, int periodMs) override { timers[timerId] = periodMs; }
    void KillTimer(int timerId) override { timers.erase(timerId); }
    void EnableCommand(int commandId, bool enabled) override { commands[commandId] = enabled; }
    HostRect GetControlRect(int id) const override { return At(id).rect; }
    int GetDpi() const override { return dpi; }
    void DrawGraph(const HostRect& area, const std::function<void(Canvas&)>& draw) override {
        graphArea = area;
        lastFrame.Clear();
        draw(lastFrame);
        ++frames;
    }
    int dpi = 96;
    bool AskQuestion(std::string_view title, std::string_view question, std::string_view yes,
                     std::string_view no) override {
        questions.push_back(std::string(title) + "|" + std::string(question) + "|" +
                            std::string(yes) + "|" + std::string(no));
        return answer;
    }
    void ShowWarning(std::string_view title, std::string_view message) override {
        warnings.push_back(std::string(title) + "|" + std::string(message));
    }
    std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request) override {
        saveRequests.push_back(request);
        return chosenFile;
    }
    void RunDialog(CDialogLogic& dialog) override {
        ++dialogsRun;
        FakeDialogHost host(dialog.GetResource());
        dialog.OnInitDialog(host);
        if (answerDialog) {
            answerDialog(dialog, host);
        } else {
            dialog.OnCancel(host);
        }
    }
    void OpenDocument(const std::string& name) override { documents.push_back(name); }
    std::vector<std::string> GetManualFolders() const override { return manualFolders; }
    std::string GetDesktopFolder() const override { return desktop; }

    std::map<int, int> timers;
    std::map<int, bool> commands;
    HostRect graphArea;
    CRecordingCanvas lastFrame;
    int frames = 0;
    bool answer = false;
    std::vector<std::string> questions;
    std::vector<std::string> warnings;
    std::optional<std::string> chosenFile;
    std::vector<SaveFileRequest> saveRequests;
    int dialogsRun = 0;
    // Works the small dialog as the operator does; without it, Cancel.
    std::function<void(CDialogLogic&, FakeDialogHost&)> answerDialog;
    std::vector<std::string> documents;
    std::vector<std::string> manualFolders;
    std::string desktop = "desktop";
};

} // namespace zelmora::test
