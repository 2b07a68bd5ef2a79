#include "window/DialogLogic.h"

#include "window/DialogResource.h"
#include "window/WindowHost.h"

namespace zelmora {

void CDialogLogic::OnInitDialog(DialogHost& /*host*/) {}

void CDialogLogic::OnOK(DialogHost& host) {
    host.EndDialog(kIdOk);
}

void CDialogLogic::OnCancel(DialogHost& host) {
    host.EndDialog(kIdCancel);
}

void CDialogLogic::OnCommand(DialogHost& /*host*/, int /*id*/) {}

const DialogResource& CAboutDlgLogic::GetResource() const {
    return AboutDialogResource();
}

bool CNumberEditLogic::IsAccepted(char32_t character) {
    constexpr char32_t kBackspace = 8;
    return character == kBackspace || character == U'-' || character == U'.' ||
           (character >= U'0' && character <= U'9');
}

} // namespace zelmora
