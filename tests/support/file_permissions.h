#pragma once

// File permissions that bind this test process even when it runs as root, as CI does:
// the capabilities that let root read, write and search whatever the permissions say are
// dropped for good. Call it first thing (initTestCase), before any thread starts: the
// capabilities of threads started earlier stay as they were.
//
// A folder whose access is narrowed for a while: on Linux through its mode, on Windows
// through its access list, as the read-only attribute that QFile::setPermissions sets
// there keeps no one from writing in a folder or listing it.

#include <QFile>
#include <QString>
#include <QtGlobal> // Q_OS_LINUX, Q_OS_WIN

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <windows.h>
#endif

namespace quillmere::test {

inline bool makePermissionsBind() {
#ifdef Q_OS_LINUX
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        const unsigned bit = 1u << (capability % 32);
        data[capability / 32].effective &= ~bit;
        data[capability / 32].permitted &= ~bit; // access() looks at these for root
        data[capability / 32].inheritable &= ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
#else
    // Elsewhere the tests do not run as a super-user. Under Wine as root the launcher,
    // scripts/windows/run-test, drops those capabilities before Wine starts.
    return true;
#endif
}

// Narrows a folder's access for the life of this object, then gives the owner back
// reading, writing and entering it.
class NarrowedFolder {
public:
    enum Access {
        ReadOnly,  // listed and entered; nothing can be made in it
        NoListing, // entered and written; its names cannot be read
    };

    NarrowedFolder(const QString &path, Access access)
        : m_path(path) {
#ifdef Q_OS_WIN
        // Kept open: a folder that cannot be listed could not be opened again to be given
        // back under Wine, which opens a folder for reading to change its mode.
        m_handle = ::CreateFileW(nativePath(path).c_str(), READ_CONTROL | WRITE_DAC,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        DWORD size = 0;
        ::GetKernelObjectSecurity(m_handle, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
        m_before.resize(size);
        if (size == 0 || !::GetKernelObjectSecurity(m_handle, DACL_SECURITY_INFORMATION,
                                                    m_before.data(), size, &size))
            return;
        const DWORD rights = access == ReadOnly
                                 ? FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
                                 : FILE_GENERIC_WRITE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                       FILE_DELETE_CHILD | DELETE | SYNCHRONIZE;
        m_narrowed = setOnlyUserMay(rights);
#else
        m_narrowed =
            QFile::setPermissions(path, access == ReadOnly ? QFile::ReadOwner | QFile::ExeOwner
                                                           : QFile::WriteOwner | QFile::ExeOwner);
#endif
    }
    NarrowedFolder(const NarrowedFolder &) = delete;
    NarrowedFolder &operator=(const NarrowedFolder &) = delete;

    ~NarrowedFolder() {
#ifdef Q_OS_WIN
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        if (m_narrowed)
            ::SetKernelObjectSecurity(m_handle, DACL_SECURITY_INFORMATION, m_before.data());
        ::CloseHandle(m_handle);
#else
        if (m_narrowed)
            QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
#endif
    }

    bool isNarrowed() const {
        return m_narrowed;
    }

private:
#ifdef Q_OS_WIN
    static std::wstring nativePath(const QString &path) {
        return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdWString();
    }

    // An access list of one entry, for the user this process runs as, of its own rather than
    // inherited from the folder around it.
    bool setOnlyUserMay(DWORD rights) {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
        QByteArray user(256, '\0');
        DWORD size = 0;
        const bool known =
            ::GetTokenInformation(token, TokenUser, user.data(), DWORD(user.size()), &size);
        ::CloseHandle(token);
        if (!known)
            return false;
        const PSID sid = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
        QByteArray list(int(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid)), '\0');
        const auto acl = reinterpret_cast<PACL>(list.data());
        SECURITY_DESCRIPTOR descriptor;
        return ::InitializeAcl(acl, DWORD(list.size()), ACL_REVISION) &&
               ::AddAccessAllowedAce(acl, ACL_REVISION, rights, sid) &&
               ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
               ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
               ::SetKernelObjectSecurity(m_handle, DACL_SECURITY_INFORMATION, &descriptor);
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    QByteArray m_before; // the folder's own security descriptor, its access list only
#endif
    QString m_path;
    bool m_narrowed = false;
};

} // namespace quillmere::test
