#pragma once

// Who we are and where we live on the forum: kept in one place, used by the window's
// captions, the release check and the help links.

#include <QString>
#include <QStringView>

namespace quillmere::release {

inline constexpr double OwnVersion = 1.4;
inline constexpr QStringView OwnVersionText = u"1.4"; // as --version and the about texts say it
inline constexpr QStringView ForumHost = u"bbs.diybh.test";
inline constexpr QStringView ReleaseThreadPath = u"/thread-142312-1-1.html";
inline constexpr QStringView AuthorLine = u"作者：Quillmere 2026年12月";
inline constexpr QStringView AuthorMail = u"quillmere@diybh.test";

inline QString forumHome() {
    return QStringLiteral("http://").append(ForumHost).append(u'/');
}
inline QString releaseThreadAddress() {
    return QStringLiteral("http://").append(ForumHost).append(ReleaseThreadPath);
}
inline QString mailLink() {
    return QStringLiteral("mailto:").append(AuthorMail);
}

} // namespace quillmere::release
