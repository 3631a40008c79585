#pragma once

// A generated forum thread page: `posts` posts of Chinese text, each with one link;
// every other link is a ".rar" attachment. Encoded as GBK, as the forum serves it.

#include <QByteArray>
#include <QString>
#include <QStringEncoder>

namespace quillmere::bench {

inline QByteArray threadPage(int posts) {
    QString html;
    html.reserve(posts * 130 + 1024);
    html += QStringLiteral(
        "<!DOCTYPE html><html><head><meta charset=\"gbk\"><title>资料分享 - 论坛</title>"
        "<style>.post{margin:4px}</style><script>var fid = 12;</script></head><body>"
        "<div id=\"header\"><a href=\"/\">首页</a> &raquo; <a href=\"/forum-12-1.html\">资料区"
        "</a></div><div id=\"postlist\">");
    for (int i = 0; i < posts; ++i) {
        const QString n = QString::number(i);
        html += QStringLiteral("<div class=\"post\" id=\"post_") + n +
                QStringLiteral("\"><table><tr><td class=\"author\">会员") + n +
                QStringLiteral("</td><td class=\"message\">第") + n +
                QStringLiteral("楼：感谢楼主分享，下载看看。<br>");
        if (i % 2 == 0)
            html += QStringLiteral("<a href=\"attachment.php?aid=") + n +
                    QStringLiteral("\" target=\"_blank\">资料合集") + n +
                    QStringLiteral(".rar</a>");
        else
            html += QStringLiteral("<a href=\"space-uid-") + n +
                    QStringLiteral(".html\">查看个人资料</a>");
        html += QStringLiteral("</td></tr></table></div>\n");
    }
    html += QStringLiteral("</div><div id=\"footer\">Powered by 论坛</div></body></html>");
    QStringEncoder gbk("GB18030");
    return gbk(html);
}

} // namespace quillmere::bench
