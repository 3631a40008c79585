// frmMain: the download run and the attachment fetch.

#include "app/main_window.h"

namespace quillmere {

void frmMain::Command2_Click() {}
void frmMain::DownloadAll() {}
bool frmMain::FetchAttachment(const QString &) {
    return false;
}
void frmMain::m_oFileDownload_OnProgress(qint64, qint64, qint32, const QString &) {}

} // namespace quillmere
