#include "transfer/file_download.h"

#include "text/code_page.h"

#include <QCoreApplication>
#include <QStringDecoder>
#include <cstring>

using namespace Qt::StringLiterals;

namespace quillmere {

CFileDownload::CFileDownload(NetworkSession *network, QObject *parent)
    : QObject(parent)
    , m_service(network) {}

CFileDownload::~CFileDownload() {
    // A binding without OnStopBinding still holds our extra reference; the stored one
    // goes with m_oBinding.
    if (m_lBindState == 1 && m_oBinding)
        m_oBinding->Release();
    m_bBusy = false;
}

bool CFileDownload::StartDownloading(QString sSrc, QString sDest, const QUrl &fromPage,
                                     TransferReport *report) {
    if (m_bBusy) {
        if (report)
            *report = {{NetworkError::Busy, 0, u"Another transfer is running."_s}, QUrl(sSrc)};
        return false;
    }
    // Handlers run inside this call and may destroy this object: the service watches it
    // and stops calling back, and nothing here touches a member after the call.
    return m_service.URLDownloadToFile(this, sSrc, sDest, 0, &m_callback, fromPage, report) == S_OK;
}

void CFileDownload::AbortDownloading() {
    if (m_lBindState == 1 && m_oBinding)
        m_oBinding->Abort();
    m_bBusy = false;
}

QString CFileDownload::StrFromPtr(const void *lpString, const bool &fUnicode) {
    if (!lpString)
        return u""_s;
    if (fUnicode)
        return QString::fromUtf16(static_cast<const char16_t *>(lpString));
    const char *text = static_cast<const char *>(lpString);
    const QByteArrayView bytes(text, qsizetype(std::strlen(text)));
    QStringDecoder decode("GB18030");
    if (decode.isValid())
        return decode(bytes);
    // Qt for Windows has no GB18030 converter; the system's code pages stand in there.
    return DecodeWithCodePage("GB18030", bytes).value_or(QString());
}

HResult CFileDownload::Callback::OnStartBinding(quint32 dwReserved, IBinding *pib) {
    Q_UNUSED(dwReserved);
    m_owner.m_bBusy = true;
    // A start from a handler right after an abort comes before the aborted binding's
    // OnStopBinding, which will then find state 0: give its extra reference back now.
    if (m_owner.m_lBindState == 1 && m_owner.m_oBinding)
        m_owner.m_oBinding->Release();
    m_owner.m_oBinding = pib;
    if (m_owner.m_oBinding)
        m_owner.m_oBinding->AddRef();
    m_owner.m_lBindState = 1;
    return S_OK;
}

HResult CFileDownload::Callback::GetPriority(qint32 *pnPriority) {
    Q_UNUSED(pnPriority);
    return S_OK;
}

HResult CFileDownload::Callback::OnLowResource(quint32 reserved) {
    Q_UNUSED(reserved);
    return S_OK;
}

HResult CFileDownload::Callback::OnProgress(qint64 ulProgress, qint64 ulProgressMax,
                                            quint32 ulStatusCode, const char16_t *szStatusText) {
    const QString sStatusText = StrFromPtr(szStatusText, true);
    Q_EMIT m_owner.OnProgress(ulProgress, ulProgressMax, qint32(ulStatusCode), sStatusText);
    // A handler may have destroyed the owner; from here on only the event queue is touched.
    QCoreApplication::processEvents();
    return S_OK;
}

HResult CFileDownload::Callback::OnStopBinding(HResult hresult, const char16_t *szError) {
    Q_UNUSED(hresult);
    Q_UNUSED(szError);
    m_owner.m_bBusy = false;
    if (m_owner.m_lBindState == 1) {
        if (m_owner.m_oBinding)
            m_owner.m_oBinding->Release();
        m_owner.m_lBindState = 0;
    }
    return S_OK;
}

HResult CFileDownload::Callback::GetBindInfo(quint32 *grfBINDF, void *pbindinfo) {
    Q_UNUSED(grfBINDF);
    Q_UNUSED(pbindinfo);
    return S_OK;
}

HResult CFileDownload::Callback::OnDataAvailable(quint32 grfBSCF, quint32 dwSize, void *pformatetc,
                                                 void *pstgmed) {
    Q_UNUSED(grfBSCF);
    Q_UNUSED(dwSize);
    Q_UNUSED(pformatetc);
    Q_UNUSED(pstgmed);
    return S_OK;
}

HResult CFileDownload::Callback::OnObjectAvailable(const QUuid &riid, void *punk) {
    Q_UNUSED(riid);
    Q_UNUSED(punk);
    return S_OK;
}

} // namespace quillmere
