// frmMain: thread analysis — discovery, selection and totals.

#include "analysis/attachment_discovery.h"
#include "analysis/attachment_list.h"
#include "app/main_window.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <utility>

namespace quillmere {

using namespace Qt::StringLiterals;

void frmMain::Command4_Click() {
    const QString address = Text1->text();
    if (address.isEmpty()) { // blanks are an address like any other
        showMessage(QMessageBox::Warning, NoThreadAddressMessage.toString());
        return;
    }
    IE1->Stop();
    IE1->Navigate(address); // as typed: the loader completes and follows it
    Command4->setEnabled(false);
    m_analysing = true;
}

void frmMain::IE1_DocumentComplete(const QString &URL) {
    Q_UNUSED(URL) // the loader may report it completed or redirected; it is still ours
    // Only the navigation Command4 started is a thread page. The blank pages (start-up
    // and ours below, even for a thread address of "about:blank") never are.
    if (!std::exchange(m_analysing, false))
        return;

    if (Check1->checkState() != Qt::Checked)
        m_attachments->Clear();

    const HtmlDocument &page = *IE1->Document();
    m_attachments->AddLinks(DiscoverAttachments(page), page.url());

    Command5_Click();
    IE1->Navigate2(u"about:blank"_s);
    Command4->setEnabled(true);
}

void frmMain::IE1_NavigateError(const QString &URL, bool *Cancel) {
    Command4->setEnabled(true);
    m_analysing = false;
    // The address every loader starts with; its failure is expected.
    if (URL == PageLoader::InitialAddress)
        return;
    showMessage(QMessageBox::Warning, ThreadLoadErrorMessage(URL));
    *Cancel = true;
}

void frmMain::Command5_Click() {
    // One notification for the whole range: the list is redrawn once. Hiding it meanwhile
    // would gain nothing and would take the keyboard focus away from it.
    m_attachments->SelectAll();
    refreshTotals();
}

void frmMain::Command6_Click() {
    // The list's own notification of the change refreshes the totals.
    m_attachments->ClearAll();
}

void frmMain::List1_ItemCheck(int Item) {
    Q_UNUSED(Item)
    refreshTotals();
}

int frmMain::CountChecked() const {
    return m_attachments->CountChecked();
}

void frmMain::refreshTotals() {
    L_tj->setCaption(AttachmentList::totalsText(m_attachments->ListCount(), CountChecked()));
}

} // namespace quillmere
