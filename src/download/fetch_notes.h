#pragma once

// What an entry's tooltip says, and screen readers read out: why its last fetch failed, in
// words the user can act on, or which file it was saved as. Every such sentence is made
// here, so that they read alike.

#include "download/download_rules.h"
#include "transfer/download_service.h"

#include <QString>
#include <QStringView>
#include <QtGlobal>

namespace quillmere {

// An entry whose text holds no file name after its address.
QString NoFileNameNote();
QString NameFaultNote(const NameFault &fault);
// `cookieFile` is the sign-in store, named where a sign-in is what is missing.
QString TransferFailureNote(const TransferReport &report, const QString &cookieFile);
// `linkText` is the name the entry asked for; a namesake's file is saved under another.
QString SavedNote(QStringView savedName, qint64 size, QStringView linkText);

// 100,000
QString GroupedNumber(qint64 number);
// 512 字节, 1.2 KB, 3.4 MB, 5.6 GB
QString SizeText(qint64 bytes);

} // namespace quillmere
