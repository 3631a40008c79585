// frmMain: the release check, the help links and the folder picker.

#include "app/main_window.h"
#include "release/release_info.h"

namespace quillmere {

void frmMain::StartReleaseCheck() {
    Ie3->Navigate(release::releaseThreadAddress());
}

void frmMain::Ie3_DocumentComplete(const QString &) {}
void frmMain::Ie3_NavigateError(const QString &, bool *) {}
void frmMain::Timer1_Timer() {}
void frmMain::Label4_Click() {}
void frmMain::Label6_Click() {}
void frmMain::Label7_Click() {}
void frmMain::Label14_Click() {}
void frmMain::Command7_Click() {}
void frmMain::Command1_Click() {}

} // namespace quillmere
