// frmMain: the release check, the help links and the folder picker.

#include "app/main_window.h"
#include "app/platform.h"
#include "release/release_info.h"
#include "release/version_check.h"
#include "settings/folder_picker.h"

#include <QLineEdit>
#include <QUrl>

namespace quillmere {

void frmMain::StartReleaseCheck() {
    Ie3->Navigate(release::releaseThreadAddress());
}

void frmMain::Ie3_DocumentComplete(const QString &) {
    // Runs for whatever Ie3 completes; a page that says nothing leaves the notice alone.
    if (const std::optional<QString> notice = release::releaseNotice(*Ie3->Document()))
        Label4->setCaption(*notice);
}

void frmMain::Ie3_NavigateError(const QString &, bool *Cancel) {
    // A failed check stays silent: no error page, no message, the notice as it was.
    *Cancel = true;
}

void frmMain::Timer1_Timer() {
    // The timer ticks every minute; the release thread is asked every fifth.
    if (++m_lTicks >= 5) {
        m_lTicks = 0;
        StartReleaseCheck();
    }
}

void frmMain::Label4_Click() {
    m_platform.openUrl(QUrl(release::releaseThreadAddress()));
}

void frmMain::Label6_Click() {
    m_platform.openUrl(QUrl(release::forumHome()));
}

void frmMain::Label7_Click() {
    m_platform.openUrl(QUrl(release::mailLink()));
}

void frmMain::Label14_Click() {
    m_platform.openUrl(QUrl(release::releaseThreadAddress()));
}

void frmMain::Command7_Click() {
    // The instructions live in the release thread.
    m_platform.openUrl(QUrl(release::releaseThreadAddress()));
}

void frmMain::Command1_Click() {
    const QString folder = BrowseForFolder(this, SaveFolderPrompt.toString());
    if (!folder.isEmpty())
        Text2->setText(folder);
}

QString frmMain::BrowseForFolder(QWidget *owner, const QString &title) {
    return quillmere::BrowseForFolder(
        owner, title, [this](QWidget *dialogOwner, const QString &caption, const QString &start) {
            return m_platform.getExistingDirectory(dialogOwner, caption, start);
        });
}

} // namespace quillmere
