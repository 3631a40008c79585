#pragma once

// The program's transfer object: downloads one address to one file at a time, reports
// progress as an event and can be aborted from any handler that runs during the transfer.

#include "transfer/download_service.h"

#include <QObject>
#include <QString>
#include <QUrl>

namespace quillmere {

class NetworkSession;

class CFileDownload : public QObject {
    Q_OBJECT
public:
    explicit CFileDownload(NetworkSession *network, QObject *parent = nullptr);
    ~CFileDownload() override;

    // Downloads sSrc into the file sDest and returns only when the transfer has ended;
    // events, timers and clicks keep running meanwhile. False at once while another
    // transfer of this object is running, False when the transfer fails or is aborted.
    // `fromPage` is the page the link was found on, for the request's Referer; `report`,
    // when given, is told why a transfer failed.
    bool StartDownloading(QString sSrc, QString sDest, const QUrl &fromPage = {},
                          TransferReport *report = nullptr);
    // Aborts the running transfer, if any; the pending StartDownloading then returns False.
    void AbortDownloading();
    // A NUL-terminated UTF-16 (fUnicode) or GB18030 string; null gives "".
    static QString StrFromPtr(const void *lpString, const bool &fUnicode);

    // What the download service calls back; exposed so it can be driven directly.
    IBindStatusCallback *bindStatusCallback() { return &m_callback; }

    bool isBusy() const { return m_bBusy; }
    qint32 bindState() const { return m_lBindState; }
    IBinding *binding() const { return m_oBinding.get(); }

    void setTransferTimeout(int msecs) { m_service.setTransferTimeout(msecs); }

Q_SIGNALS:
    // lStatusCode is one of the BINDSTATUS values; lMaxProgress is 0 when the size is unknown.
    void OnProgress(qint64 lProgress, qint64 lMaxProgress, qint32 lStatusCode,
                    const QString &sStatusText);

private:
    // The callback side lives in its own object: its OnProgress is not the event above.
    class Callback final : public IBindStatusCallback {
    public:
        explicit Callback(CFileDownload &owner)
            : m_owner(owner) {}
        HResult OnStartBinding(quint32 dwReserved, IBinding *pib) override;
        HResult GetPriority(qint32 *pnPriority) override;
        HResult OnLowResource(quint32 reserved) override;
        HResult OnProgress(qint64 ulProgress, qint64 ulProgressMax, quint32 ulStatusCode,
                           const char16_t *szStatusText) override;
        HResult OnStopBinding(HResult hresult, const char16_t *szError) override;
        HResult GetBindInfo(quint32 *grfBINDF, void *pbindinfo) override;
        HResult OnDataAvailable(quint32 grfBSCF, quint32 dwSize, void *pformatetc,
                                void *pstgmed) override;
        HResult OnObjectAvailable(const QUuid &riid, void *punk) override;

    private:
        CFileDownload &m_owner;
    };

    DownloadService m_service;
    Callback m_callback{*this};
    CountedRef<IBinding> m_oBinding;
    bool m_bBusy = false;
    qint32 m_lBindState = 0; // 1 while the extra reference on m_oBinding is held
};

} // namespace quillmere
