// Where Windows keeps a user's proxy: Internet Options' settings under HKEY_CURRENT_USER.
// WinHTTP, and through it Qt's system proxy, reads the connection settings record; WinINet
// programs read ProxyEnable and ProxyServer. Both are set so that every reader agrees, and
// each value is put back exactly as it was, or deleted again when there was none.
//
// Qt reads these settings once per process and again only after the registry has told it
// that they changed; the writes here are such a change, so a process that asked before
// sees the new proxy as well.

#include "support/system_proxy.h"

#include <QByteArray>
#include <QUrl>
#include <array>
#include <windows.h>

namespace quillmere::test {

namespace {

const wchar_t InternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\"
                                   L"Internet Settings";
const wchar_t Connections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\"
                              L"Internet Settings\\Connections";

struct Key {
    const wchar_t *path;
    HKEY handle = nullptr;
    bool created = false;
};

struct Value {
    Key *key;
    const wchar_t *name;
    bool existed = false;
    DWORD type = REG_NONE;
    QByteArray bytes;
};

void appendDword(QByteArray &record, quint32 value) {
    for (int shift = 0; shift < 32; shift += 8)
        record.append(char((value >> shift) & 0xff));
}

quint32 dwordAt(const QByteArray &record, qsizetype offset) {
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(record.at(offset + i));
    return value;
}

// The record as Internet Options save it: the format's version, a counter that goes up with
// every save, the flags (direct connections allowed, and the proxy), the proxy's host:port,
// an empty bypass list and no script address.
QByteArray connectionRecord(const QByteArray &hostPort, const Value &before) {
    constexpr quint32 Version = 0x46;
    constexpr quint32 DirectAndProxy = 0x1 | 0x2;
    const quint32 counter = before.existed && before.type == REG_BINARY && before.bytes.size() >= 8
                                ? dwordAt(before.bytes, 4) + 1
                                : 0;
    QByteArray record;
    appendDword(record, Version);
    appendDword(record, counter);
    appendDword(record, DirectAndProxy);
    appendDword(record, quint32(hostPort.size()));
    record.append(hostPort);
    appendDword(record, 0); // bypass list
    appendDword(record, 0); // script address
    appendDword(record, 0);
    return record;
}

QByteArray wideString(const QString &text) {
    const std::wstring wide = text.toStdWString();
    return QByteArray(reinterpret_cast<const char *>(wide.c_str()),
                      qsizetype((wide.size() + 1) * sizeof(wchar_t)));
}

QByteArray dword(DWORD value) {
    return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
}

bool read(Value &value) {
    DWORD size = 0;
    LSTATUS status =
        ::RegQueryValueExW(value.key->handle, value.name, nullptr, &value.type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status == ERROR_SUCCESS) {
        value.bytes.resize(qsizetype(size));
        status = ::RegQueryValueExW(value.key->handle, value.name, nullptr, &value.type,
                                    reinterpret_cast<BYTE *>(value.bytes.data()), &size);
        value.bytes.resize(qsizetype(size));
    }
    if (status != ERROR_SUCCESS) {
        qWarning("the Internet setting %ls could not be read: error %ld", value.name, status);
        return false;
    }
    value.existed = true;
    return true;
}

bool write(const Value &value, DWORD type, const QByteArray &bytes) {
    const LSTATUS status =
        ::RegSetValueExW(value.key->handle, value.name, 0, type,
                         reinterpret_cast<const BYTE *>(bytes.constData()), DWORD(bytes.size()));
    if (status != ERROR_SUCCESS)
        qWarning("the Internet setting %ls could not be written: error %ld", value.name, status);
    return status == ERROR_SUCCESS;
}

} // namespace

struct SystemProxy::Saved {
    std::array<Key, 2> keys{Key{InternetSettings}, Key{Connections}};
    // Read before anything is written, so that a failure half way leaves nothing unsaved.
    std::array<Value, 3> values{Value{&keys[0], L"ProxyEnable"}, Value{&keys[0], L"ProxyServer"},
                                Value{&keys[1], L"DefaultConnectionSettings"}};
    bool complete = false; // every value was read, so every one can be put back
};

SystemProxy::SystemProxy(const QString &address)
    : m_saved(std::make_unique<Saved>()) {
    for (Key &key : m_saved->keys) {
        DWORD disposition = 0;
        const LSTATUS status =
            ::RegCreateKeyExW(HKEY_CURRENT_USER, key.path, 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key.handle, &disposition);
        if (status != ERROR_SUCCESS) {
            key.handle = nullptr;
            qWarning("the Internet settings key %ls could not be opened: error %ld", key.path,
                     status);
            return;
        }
        key.created = disposition == REG_CREATED_NEW_KEY;
    }
    for (Value &value : m_saved->values) {
        if (!read(value))
            return;
    }
    m_saved->complete = true;

    const QUrl url(address);
    const QByteArray hostPort = (url.host() + u':' + QString::number(url.port())).toLatin1();
    auto &[enable, server, connection] = m_saved->values;
    m_set = write(enable, REG_DWORD, dword(1)) &&
            write(server, REG_SZ, wideString(QString::fromLatin1(hostPort))) &&
            write(connection, REG_BINARY, connectionRecord(hostPort, connection));
}

SystemProxy::~SystemProxy() {
    if (m_saved->complete) {
        for (const Value &value : m_saved->values) {
            if (value.existed) {
                write(value, value.type, value.bytes);
            } else {
                const LSTATUS status = ::RegDeleteValueW(value.key->handle, value.name);
                if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                    qWarning("the Internet setting %ls could not be deleted: error %ld", value.name,
                             status);
            }
        }
    }
    // The innermost first: a key goes only without subkeys.
    for (auto key = m_saved->keys.rbegin(); key != m_saved->keys.rend(); ++key) {
        if (!key->handle)
            continue;
        ::RegCloseKey(key->handle);
        if (key->created)
            ::RegDeleteKeyW(HKEY_CURRENT_USER, key->path);
    }
}

} // namespace quillmere::test
