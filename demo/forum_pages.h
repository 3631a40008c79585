#pragma once

// The demo forum's pages, as a forum running in GBK would send them: the bytes on the wire
// and the Content-Type that goes with them.

#include "demo_forum.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace quillmere::demo::pages {

inline constexpr char HtmlType[] = "text/html; charset=gbk";

// The threads with attachments, as DemoForum::threads() offers them.
const QList<Thread> &threadCatalogue();
// Every attachment the forum holds: those a batch picks up and the look-alikes beside them.
const QList<Attachment> &allAttachments();
const Attachment *findAttachment(int aid);

// `text` in the forum's code page.
QByteArray Gbk(const QString &text);

QByteArray indexPage();
// Empty for a thread the forum does not have.
QByteArray threadPage(int tid, const QString &publishedVersion);
QByteArray logInPage();
QByteArray loggedInPage();
QByteArray restoredPage();
QByteArray hotlinkPage();
QByteArray missingAttachmentPage();
QByteArray notFoundPage();
QByteArray foreignHostPage(const QByteArray &host);

// "3.25 MB", "38.29 KB": the sizes the forum prints beside its attachment links.
QString sizeText(qint64 bytes);

} // namespace quillmere::demo::pages
