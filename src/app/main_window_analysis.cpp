// frmMain: thread analysis — discovery, selection and totals.

#include "app/main_window.h"

namespace quillmere {

void frmMain::Command4_Click() {}
void frmMain::IE1_DocumentComplete(const QString &) {}
void frmMain::IE1_NavigateError(const QString &, bool *) {}
void frmMain::Command5_Click() {}
void frmMain::Command6_Click() {}
void frmMain::List1_ItemCheck(int) {}
int frmMain::CountChecked() const {
    return 0;
}

} // namespace quillmere
