#pragma once

// A synchronous "download this address into that file" service with a binding status
// callback, built over the program's one network session. The call nests an event
// loop, so the whole user interface keeps running inside it; the callback interfaces are
// counted COM-style interfaces so that callers can hold, count and abort a binding.

#include "net/http_reply.h"
#include "net/request_rules.h"

#include <QPointer>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <QtGlobal>
#include <functional>
#include <utility>

class QObject;

namespace quillmere {

class NetworkSession;

using HResult = qint32;

// Results of the service: 0 is success, everything negative a failure.
inline constexpr HResult S_OK = 0;
inline constexpr HResult E_FAIL = qint32(0x80004005);
inline constexpr HResult E_ABORT = qint32(0x80004004);
inline constexpr HResult E_ACCESSDENIED = qint32(0x80070005);
inline constexpr HResult STG_E_WRITEFAULT = qint32(0x8003001D);
inline constexpr HResult STG_E_MEDIUMFULL = qint32(0x80030070);
inline constexpr HResult INET_E_INVALID_URL = qint32(0x800C0002);
inline constexpr HResult INET_E_CANNOT_CONNECT = qint32(0x800C0004);
inline constexpr HResult INET_E_OBJECT_NOT_FOUND = qint32(0x800C0006);
inline constexpr HResult INET_E_DOWNLOAD_FAILURE = qint32(0x800C0008);
inline constexpr HResult INET_E_CONNECTION_TIMEOUT = qint32(0x800C000B);
inline constexpr HResult INET_E_UNKNOWN_PROTOCOL = qint32(0x800C000D);
inline constexpr HResult INET_E_SECURITY_PROBLEM = qint32(0x800C000E);
inline constexpr HResult INET_E_REDIRECT_FAILED = qint32(0x800C0014);

// Status codes of IBindStatusCallback::OnProgress and what their text carries.
enum BindStatus : quint32 {
    BINDSTATUS_FINDINGRESOURCE = 1,   // host name
    BINDSTATUS_CONNECTING = 2,        // host name
    BINDSTATUS_REDIRECTING = 3,       // the new address
    BINDSTATUS_BEGINDOWNLOADDATA = 4, // address; first body bytes are in
    BINDSTATUS_DOWNLOADINGDATA = 5,   // address
    BINDSTATUS_ENDDOWNLOADDATA = 6,   // address; whole body in, target not yet replaced
    BINDSTATUS_MIMETYPEAVAILABLE = 13 // media type of the response, before any byte is kept
};

// A running (or finished) transfer. Abort() ends it: the temporary file is gone when Abort()
// returns and the pending URLDownloadToFile() returns E_ABORT after OnStopBinding.
class IBinding {
public:
    virtual quint32 AddRef() = 0;
    virtual quint32 Release() = 0; // deletes the binding when the last reference goes
    virtual HResult Abort() = 0;

protected:
    virtual ~IBinding() = default;
};

// Called back on the calling thread, inside URLDownloadToFile(): OnStartBinding once,
// OnProgress any number of times, OnStopBinding once. Implementations return S_OK.
class IBindStatusCallback {
public:
    virtual HResult OnStartBinding(quint32 dwReserved, IBinding *pib) = 0;
    virtual HResult GetPriority(qint32 *pnPriority) = 0;
    virtual HResult OnLowResource(quint32 reserved) = 0;
    virtual HResult OnProgress(qint64 ulProgress, qint64 ulProgressMax, quint32 ulStatusCode,
                               const char16_t *szStatusText) = 0;
    virtual HResult OnStopBinding(HResult hresult, const char16_t *szError) = 0;
    virtual HResult GetBindInfo(quint32 *grfBINDF, void *pbindinfo) = 0;
    virtual HResult OnDataAvailable(quint32 grfBSCF, quint32 dwSize, void *pformatetc,
                                    void *pstgmed) = 0;
    virtual HResult OnObjectAvailable(const QUuid &riid, void *punk) = 0;

protected:
    ~IBindStatusCallback() = default;
};

// A counted reference: AddRef on taking a pointer, Release on letting it go.
template <class T> class CountedRef {
public:
    CountedRef() = default;
    CountedRef(T *p)
        : m_p(p) {
        addRef();
    }
    CountedRef(const CountedRef &other)
        : m_p(other.m_p) {
        addRef();
    }
    CountedRef(CountedRef &&other) noexcept
        : m_p(std::exchange(other.m_p, nullptr)) {}
    ~CountedRef() { release(); }
    CountedRef &operator=(CountedRef other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }

    T *get() const { return m_p; }
    T *operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    void addRef() {
        if (m_p)
            m_p->AddRef();
    }
    void release() {
        if (m_p)
            std::exchange(m_p, nullptr)->Release();
    }

    T *m_p = nullptr;
};

// How a transfer ended, with what its caller needs to explain a failure to the user.
struct TransferReport {
    NetworkFailure failure; // kind None when the file was saved
    QUrl url;               // the address last asked, redirects followed
    qint64 received = 0;    // bytes of the file that came: on success its size
    qint64 expected = -1;   // its announced size; -1 when not known
    qint64 noDataLimitMs = 0;
};

class DownloadService {
public:
    explicit DownloadService(NetworkSession *network);

    // Longest time without any data before a transfer fails; NoDataTimeout unless set.
    void setTransferTimeout(int msecs) { m_transferTimeoutMs = msecs; }
    // Called on the writer thread before each chunk of a large body goes to the disk, with
    // its size and the bytes queued, this chunk included; tests make the disk slow with it.
    void setDiskWait(std::function<void(qint64 chunk, qint64 queued)> diskWait) {
        m_diskWait = std::move(diskWait);
    }

    // Downloads `url` (http or https) into `fileName` and returns when done: S_OK, or a
    // failure code with the target left as it was. Runs a nested event loop meanwhile.
    // A web page where the file was expected (by its Content-Type, or by its first bytes
    // when it names none) is the forum asking to log in or reporting an error: it fails
    // before a byte of it is kept.
    // If `caller` is destroyed while the call is pending, the transfer is aborted and
    // `callback` (which belongs to the caller) is not called again.
    // `fromPage`, when given, is the page the link was found on: the request carries the
    // Referer a browser would send for it. `report`, when given, is told how it ended.
    HResult URLDownloadToFile(QObject *caller, const QString &url, const QString &fileName,
                              quint32 reserved, IBindStatusCallback *callback,
                              const QUrl &fromPage = {}, TransferReport *report = nullptr) const;

private:
    QPointer<NetworkSession> m_network;
    int m_transferTimeoutMs = int(NoDataTimeout.count());
    std::function<void(qint64, qint64)> m_diskWait;
};

} // namespace quillmere
