#pragma once

// The rules of the download run that need no window: the texts it shows, the target
// folder test, how an entry becomes an address and a file name, and the progress figure.

#include "analysis/attachment_entry.h"

#include <QString>
#include <QStringView>
#include <QtGlobal>
#include <functional>
#include <optional>

namespace quillmere {

// Start refusals, shown under the title "提示".
inline constexpr QStringView NothingCheckedMessage =
    u"请首先打开正确的帖子链接并选择需要下载的附件！";
inline constexpr QStringView NoSaveFolderMessage = u"请首先输入保存附件的目录！";
inline constexpr QStringView BadSaveFolderMessage = u"保存附件的目录不正确，请重新输入！";

// Status line and closing box of a run.
inline constexpr QStringView RunStartingText = u"开始下载中...";
inline constexpr QStringView RunFinishedText = u"所有的附件下载完成。";
inline constexpr QStringView RunFinishedMessage = u"所有附件下载完成！";

// 正在下载“name”，请耐心等待。。。
QString WaitingText(QStringView fileName);
// 正在下载“name”，已下载37%
QString ProgressText(QStringView fileName, qint32 percent);
// Whole percent done, rounded down; 0 while the size is unknown. Not clamped to 100.
qint32 ProgressPercent(qint64 progress, qint64 maxProgress);

// The folder as typed, ending in the native separator.
QString SaveDirFor(const QString &typed);
// True when the folder exists and can be listed; an empty folder counts.
bool IsSaveFolder(const QString &folder);

// The entry's address and link text (the file name), as the entry helpers split it; empty
// when the text after the separator is too short to hold a marker.
std::optional<EntryParts> FetchTargetOf(QStringView entry);

// Why a link text cannot be one plain file inside the target folder, on any system the
// folder may be shared with, Windows included.
struct NameFault {
    enum Kind { None, Empty, TooLong, Ending, Character, DeviceName } kind = None;
    QString detail; // the character, or the device's name
    explicit operator bool() const { return kind != None; }
};
NameFault CheckFileName(QStringView name);
bool IsPlainFileName(QStringView name);

// Several attachments of one name in one list are saved side by side, not over each other:
// "NAME (n).EXT".
QString NumberedName(QStringView name, int n);
// `name` unless it is taken, else the first free of its numbered names from (2) on.
QString FreeName(const QString &name, const std::function<bool(const QString &)> &taken);

// What became of one fetch, for its entry.
struct FetchOutcome {
    bool ok = false;
    QString note;      // why it failed, or the file it was saved as (fetch_notes.h)
    QString savedPath; // on success, where it went
};

} // namespace quillmere
