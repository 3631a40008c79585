// frmMain: the download run and the attachment fetch.

#include "analysis/attachment_entry.h"
#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "download/download_rules.h"
#include "download/fetch_notes.h"
#include "net/cookie_store.h"
#include "net/network_session.h"
#include "settings/settings.h"
#include "transfer/file_download.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <initializer_list>
#include <optional>
#include <utility>

using namespace Qt::StringLiterals;

namespace quillmere {

// Paints the window at most ten times a second while the walk goes. Every transfer serves
// the event loop several times, and each time the list, its scroll bar and the status line
// would be painted again: with small attachments, painting cost more than fetching. A paint
// that is due is made in the middle of a long body, where the network's bytes wait in the
// socket anyway; otherwise at a time of its own, a quarter of a second after the last one,
// never at the end of one file or the start of the next, where it would hold up the
// request. What the user does is drawn at once all the same: a click or a key lets the
// next paint through.
class FramePacer : public QObject {
public:
    explicit FramePacer(QWidget *window)
        : m_window(window) {
        m_sincePaint.start();
        m_deferred.setSingleShot(true);
        m_deferred.setTimerType(Qt::PreciseTimer);
        connect(&m_deferred, &QTimer::timeout, this, &FramePacer::paintNow);
        // The application's filter sees the window's paint requests and every input event.
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~FramePacer() override {
        QCoreApplication::instance()->removeEventFilter(this);
        if (m_deferred.isActive())
            requestPaint(); // whatever was held back is painted once control is back
    }

    // A long body is arriving: a paint that is due costs the transfer nothing now.
    void midTransfer() {
        if (m_deferred.isActive() && m_sincePaint.elapsed() >= FrameMs)
            paintNow();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (isInput(event->type())) {
            m_inputSeen = true;
            // Qt asks for one paint at a time: the one held back is the one to send.
            if (m_deferred.isActive())
                paintNow();
            return false;
        }
        if (watched != m_window || event->type() != QEvent::UpdateRequest)
            return false;
        if (m_letThrough || std::exchange(m_inputSeen, false)) {
            m_sincePaint.restart();
            return false;
        }
        // Held back: the window's painter waits for this request, so nothing is lost and
        // later changes join it.
        if (!m_deferred.isActive())
            m_deferred.start(int(std::max<qint64>(0, MaxWaitMs - m_sincePaint.elapsed())));
        return true;
    }

private:
    static bool isInput(QEvent::Type type) {
        switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
            return true;
        default:
            return false;
        }
    }

    void paintNow() {
        m_deferred.stop();
        QEvent request(QEvent::UpdateRequest);
        m_letThrough = true;
        QCoreApplication::sendEvent(m_window, &request);
        m_letThrough = false;
    }
    void requestPaint() {
        QCoreApplication::postEvent(m_window, new QEvent(QEvent::UpdateRequest),
                                    Qt::LowEventPriority);
    }

    static constexpr qint64 FrameMs = 100;
    static constexpr qint64 MaxWaitMs = 250;
    QWidget *m_window;
    QTimer m_deferred;
    QElapsedTimer m_sincePaint;
    bool m_inputSeen = false;
    bool m_letThrough = false;
};

void frmMain::Command2_Click() {
    if (CountChecked() == 0) {
        showMessage(QMessageBox::Warning, NothingCheckedMessage.toString());
        return;
    }
    const QString typed = Text2->text();
    if (typed.isEmpty()) {
        showMessage(QMessageBox::Warning, NoSaveFolderMessage.toString());
        return;
    }
    const QString folder = SaveDirFor(typed);
    if (!IsSaveFolder(folder)) {
        showMessage(QMessageBox::Warning, BadSaveFolderMessage.toString());
        return;
    }
    m_sSaveDir = folder;
    Label5->setCaption(RunStartingText.toString());
    setRunControlsEnabled(false);
    DownloadAll();
}

void frmMain::setRunControlsEnabled(bool enabled) {
    // The list, the exit and help buttons and the links stay usable during a run.
    for (QWidget *control :
         std::initializer_list<QWidget *>{Command4, Command2, Command1, Command5, Command6, Text2})
        control->setEnabled(enabled);
}

void frmMain::DownloadAll() {
    AttachmentList &list = *m_attachments;
    const int count = list.ListCount();
    std::optional<FramePacer> pacer(std::in_place, window());
    m_pacer = &*pacer;
    const auto forgetPacer = qScopeGuard([this] { m_pacer = nullptr; });
    for (int i = 0; i < count; ++i) {
        // Handlers run inside every transfer: an analysis may have refilled the list, the
        // user may have checked or unchecked entries. Go by what the list holds now.
        if (i >= list.ListCount())
            break;
        if (!list.Selected(i))
            continue;
        List1->setCurrentIndex(list.index(i));
        const AttachmentList::EntryId fetched = list.Id(i);
        const FetchOutcome outcome = FetchAttachment(i);
        if (m_unloading)
            return; // the window was closed inside the transfer: nothing more to show
        if (i >= list.ListCount())
            break; // refilled shorter while it ran: no entry left to mark
        // An analysis that completed during the transfer may have put another entry at
        // this place: its outcome is not this transfer's.
        if (list.Id(i) != fetched)
            continue;
        list.setOutcome(i, outcome.ok ? EntryStatus::Done : EntryStatus::Failed, outcome.note,
                        outcome.savedPath);
        if (outcome.ok)
            list.setSelected(i, false);
    }
    m_pacer = nullptr;
    pacer.reset();
    Label5->setCaption(RunFinishedText.toString());
    setRunControlsEnabled(true);
    showMessage(QMessageBox::Information, RunFinishedMessage.toString());
}

FetchOutcome frmMain::FetchAttachment(int index) {
    const AttachmentList &list = *m_attachments;
    // An entry that knows its address and link text is fetched from those: an address may
    // hold "__" itself. Only an entry without them is split.
    std::optional<EntryParts> target = list.Parts(index);
    if (!target)
        target = FetchTargetOf(list.List(index));
    if (!target)
        return {false, NoFileNameNote()};
    m_sFileName = std::move(target->linkText);
    Label5->setCaption(WaitingText(m_sFileName));
    // The link text is the forum's, not ours: joined to the folder it must not reach
    // anywhere but one plain file inside it.
    if (const NameFault fault = CheckFileName(m_sFileName))
        return {false, NameFaultNote(fault)};
    const QString savedName = FreeName(m_sFileName, [&](const QString &name) {
        return list.SavedByAnother(index, m_sSaveDir + name);
    });
    // A name at the length limit has no room for its number.
    if (const NameFault fault = CheckFileName(savedName))
        return {false, NameFaultNote(fault)};
    const QString cookieFile = m_network && m_network->cookieStore()->isPersistent()
                                   ? m_network->cookieStore()->path()
                                   : g_sAppPath + u"cookies.txt"_s;
    if (!m_oFileDownload)
        return {false, TransferFailureNote({{NetworkError::Other}, target->address}, cookieFile)};
    // Handlers run inside the transfer and may refill the list or close the window: from
    // here on only what is copied now is used.
    const QString savedPath = m_sSaveDir + savedName;
    const QString linkText = m_sFileName;
    TransferReport report;
    if (!m_oFileDownload->StartDownloading(target->address, savedPath, list.Page(index), &report))
        return {false, TransferFailureNote(report, cookieFile)};
    return {true, SavedNote(savedName, report.received, linkText), savedPath};
}

void frmMain::m_oFileDownload_OnProgress(qint64 lProgress, qint64 lMaxProgress, qint32 lStatusCode,
                                         const QString &sStatusText) {
    Q_UNUSED(sStatusText);
    // A web page where the file was expected fails in the download service itself.
    Label5->setCaption(ProgressText(m_sFileName, ProgressPercent(lProgress, lMaxProgress)));
    if (m_pacer && lStatusCode == qint32(BINDSTATUS_DOWNLOADINGDATA))
        m_pacer->midTransfer();
}

} // namespace quillmere
