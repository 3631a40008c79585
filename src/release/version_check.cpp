#include "release/version_check.h"

#include "release/basic_val.h"
#include "release/release_info.h"
#include "web/html_document.h"

#include <algorithm>
#include <cmath>

namespace quillmere::release {

std::optional<QStringView> versionText(QStringView page) {
    const qsizetype marker = page.indexOf(VersionMarker, 0, Qt::CaseSensitive);
    if (marker < 0)
        return std::nullopt;
    const QStringView window =
        page.sliced(marker).first(std::min(VersionWindowLength, page.size() - marker));
    if (window.size() <= VersionOffset)
        return QStringView();
    const QStringView rest = window.sliced(VersionOffset);
    return rest.first(std::min(VersionLength, rest.size()));
}

std::optional<QString> releaseNotice(QStringView page) {
    const std::optional<QStringView> text = versionText(page);
    if (!text)
        return std::nullopt;
    const double version = Val(*text);
    // A number beyond a double's range is the overflow error of the numeric reading, which
    // ends the test like any other error.
    if (!std::isfinite(version))
        return std::nullopt;
    return (version == OwnVersion ? LatestNotice : NewerNotice).toString();
}

std::optional<QString> releaseNotice(const HtmlDocument &page) {
    const HtmlElement *body = page.body();
    return body ? releaseNotice(body->innerhtml()) : std::nullopt;
}

} // namespace quillmere::release
