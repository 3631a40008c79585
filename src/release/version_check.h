#pragma once

// Reads the current release's version from the release thread and words the notice the
// window shows about it.

#include <QString>
#include <QStringView>
#include <optional>

namespace quillmere {
class HtmlDocument;
}

namespace quillmere::release {

// Matched case-sensitively; the first one on the page counts.
inline constexpr QStringView VersionMarker = u"myver";
// The page text looked at, from the marker's first letter on.
inline constexpr qsizetype VersionWindowLength = 50;
// Where the version stands inside that window (0-based) and how much of it is read.
inline constexpr qsizetype VersionOffset = 15;
inline constexpr qsizetype VersionLength = 35;

inline constexpr QStringView LatestNotice = u"该版本已经是最新版。";
inline constexpr QStringView NewerNotice = u"发现该软件有升级版，请点此查看";

// The text the version is read from: empty when the page ends too soon after the marker,
// nullopt when there is no marker.
std::optional<QStringView> versionText(QStringView page);

// The notice for a release page, given the markup of its body; nullopt when the page tells
// nothing and the notice shown stays as it is. Every version other than our own counts as
// newer, including a text without a number (it reads as 0).
std::optional<QString> releaseNotice(QStringView page);
// The same for a loaded release page: the markup of its body is read; a document without
// a body (an answer that is not HTML) tells nothing.
std::optional<QString> releaseNotice(const HtmlDocument &page);

} // namespace quillmere::release
