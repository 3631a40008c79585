#include "forum_pages.h"

#include "release/release_info.h"
#include "text/code_page.h"

#include <algorithm>

namespace quillmere::demo::pages {

using namespace Qt::StringLiterals;

namespace {

constexpr int ReleaseThreadId = 142312;
const QString ForumName = u"DIY博汇论坛"_s;

const QList<Thread> &catalogue() {
    using enum Attachment::Answer;
    static const QList<Thread> threads{
        {1001,
         u"【工具】装机必备工具合集，附件打包下载（持续更新）"_s,
         {
             {5001, u"装机必备工具箱.rar"_s, 3'412'019, File},
             {5002, u"驱动精灵离线版.rar"_s, 1'585'337, File},
             {5003, u"系统优化设置说明.rar"_s, 39'211, File},
             {5004, u"主板BIOS刷新工具.rar"_s, 2'104'550, MembersOnly},
             {5005, u"显卡超频软件合集.rar"_s, 1'062'913, Missing},
         }},
        {1002,
         u"【驱动】常用网卡、声卡驱动打包下载"_s,
         {
             {5101, u"网卡驱动合集.rar"_s, 921'611, File},
             {5102, u"声卡驱动合集.rar"_s, 1'310'723, File, true},
         }},
    };
    return threads;
}

// Links on the pages that look like attachments but must not make it into a batch.
const Attachment UpperCaseRar{5006, u"内存测试工具.RAR"_s, 614'417};
const Attachment ZipArchive{5007, u"硬盘检测工具.zip"_s, 716'805};
const Attachment TrailingBlank{5008, u"CPU-Z 汉化版.rar "_s, 307'221};

const Attachment &attachment(int aid) {
    return *findAttachment(aid);
}

QString esc(const QString &text) {
    return text.toHtmlEscaped();
}

QString head(const QString &title) {
    return uR"(<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Transitional//EN" "http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd">
<html xmlns="http://www.w3.org/1999/xhtml">
<head>
<meta http-equiv="Content-Type" content="text/html; charset=gbk" />
<title>)"_s +
           esc(title) + uR"(</title>
<meta name="keywords" content="装机,驱动,工具,附件下载" />
<style type="text/css">
body { margin: 0; font: 12px/1.5 "宋体", Tahoma, sans-serif; background: #f2f5f8; color: #333; }
a { color: #336699; text-decoration: none; }
.wp { width: 960px; margin: 0 auto; }
#hd { background: #2b6ca3; color: #fff; padding: 8px 0; }
#hd a { color: #fff; margin-right: 12px; }
#hd .logo { font-size: 22px; font-weight: bold; margin-right: 40px; }
#pt { margin: 10px auto; }
.pg { float: right; }
.plhin { width: 100%; border: 1px solid #c2d5e3; background: #fff; margin-bottom: 8px; }
.pls { width: 160px; background: #e5edf2; vertical-align: top; padding: 10px; }
.plc { vertical-align: top; padding: 10px 20px; }
.authi { color: #999; }
.t_f { font-size: 14px; }
.tattl { margin: 6px 0; padding: 6px; border: 1px dashed #cdcdcd; background: #fafafa; }
.tattl dt { float: left; margin-right: 8px; }
.xg2 { color: #999; }
.sign { border-top: 1px dashed #cdcdcd; color: #888; padding-top: 6px; }
#ft { border-top: 2px solid #2b6ca3; color: #666; padding: 10px 0 30px; }
</style>
</head>
)"_s;
}

QString header() {
    return uR"(<div id="hd"><div class="wp">
<a href="/" class="logo">)"_s +
           ForumName + uR"(</a>
<a href="forum.php">论坛</a><a href="search.php">搜索</a><a href="misc.php?mod=faq">帮助</a>
<span style="float:right"><a href="member.php?mod=logging&amp;action=login">登录</a><a href="member.php?mod=register">立即注册</a></span>
</div></div>
)"_s;
}

QString footer() {
    return uR"(<div id="ft" class="wp">
<p><a href="misc.php?mod=faq">论坛帮助</a> | <a href="mailto:admin@diybh.test">联系我们</a> | <a href="forum.php?mobile=yes">手机版</a> | <a href="archiver/">Archiver</a></p>
<p>)"_s + ForumName +
           uR"( &copy; 2009-2026 版权所有。本论坛为演示论坛，只在您的电脑上运行。</p>
<p>GMT+8, 2026-3-5 10:20</p>
</div>
)"_s;
}

QString crumbs(const QString &forum, int fid, const QString &here) {
    QString line =
        u"<div id=\"pt\" class=\"wp\"><a href=\"/\">"_s + ForumName + u"</a> &rsaquo; "_s;
    if (!forum.isEmpty())
        line += u"<a href=\"forum-%1-1.html\">"_s.arg(fid) + forum + u"</a> &rsaquo; "_s;
    return line + esc(here) + u"</div>\n"_s;
}

QString page(const QString &title, const QString &trail, const QString &content) {
    return head(title) + u"<body>\n"_s + header() + trail + u"<div id=\"ct\" class=\"wp\">\n"_s +
           content + u"</div>\n"_s + footer() + u"</body>\n</html>\n"_s;
}

struct Author {
    QString name;
    int uid;
    QString rank;
    int credits;
    int posts;
    QString since;
    QString signature;
};

QString attachmentBlock(const Attachment &a, const QString &note = {}) {
    const int downloads = a.aid * 37 % 2000 + 50;
    return u"<dl class=\"tattl\"><dt><img src=\"static/image/filetype/"_s +
           (a.name.trimmed().endsWith(u".zip"_s) ? u"zip"_s : u"rar"_s) +
           u".gif\" border=\"0\" class=\"vm\" alt=\"\" /></dt>\n<dd><p class=\"attnm\">"_s +
           u"<a href=\"%1\" target=\"_blank\">"_s.arg(a.onFileHost
                                                          ? esc(DemoForum::attachmentAddress(a.aid))
                                                          : u"attachment.php?aid=%1"_s.arg(a.aid)) +
           esc(a.name) + u"</a>"_s + note + u"</p>\n<p>"_s + sizeText(a.size) +
           u", 下载次数: %1</p>\n<p class=\"xg2\">2026-3-2 21:13 上传</p></dd></dl>\n"_s.arg(
               downloads);
}

QString post(int tid, int floor, const Author &author, const QString &time, const QString &body,
             const QString &attachments = {}) {
    const QString floorName = floor == 1   ? u"楼主"_s
                              : floor == 2 ? u"沙发"_s
                              : floor == 3 ? u"板凳"_s
                                           : u"%1#"_s.arg(floor);
    const int pid = tid * 10 + floor;
    QString html =
        u"<div id=\"post_%1\">\n<table id=\"pid%1\" class=\"plhin\" summary=\"pid%1\" "
        "cellspacing=\"0\" cellpadding=\"0\">\n<tr>\n<td class=\"pls\" rowspan=\"2\">\n"_s.arg(pid);
    html += u"<div class=\"authi\"><a href=\"space-uid-%1.html\" class=\"xw1\">"_s.arg(author.uid) +
            esc(author.name) + u"</a></div>\n"_s;
    html += u"<div class=\"avatar\"><img src=\"uc_server/avatar.php?uid=%1&amp;size=middle\" "
            "alt=\"\" /></div>\n"_s.arg(author.uid);
    html += u"<dl class=\"pil\"><dt>积分</dt><dd>%1</dd><dt>帖子</dt><dd>%2</dd>"
            "<dt>注册时间</dt><dd>"_s.arg(author.credits)
                .arg(author.posts) +
            author.since + u"</dd></dl>\n<p><em>"_s + author.rank + u"</em></p>\n</td>\n"_s;
    html += u"<td class=\"plc\">\n<div class=\"pi\"><strong><a href=\"thread-%1-1-1.html#pid%2\">"_s
                .arg(tid)
                .arg(pid) +
            floorName + u"</a></strong>\n<div class=\"authi\">发表于 "_s + time +
            u" | <a href=\"forum.php?mod=viewthread&amp;tid=%1&amp;authorid=%2\">只看该作者</a>"
            "</div></div>\n"_s.arg(tid)
                .arg(author.uid);
    html += u"<div class=\"pct\"><table cellspacing=\"0\" cellpadding=\"0\"><tr>"
            "<td class=\"t_f\" id=\"postmessage_%1\">\n"_s.arg(pid) +
            body + u"\n</td></tr></table>\n"_s;
    if (!attachments.isEmpty())
        html += u"<div class=\"pattl\">\n"_s + attachments + u"</div>\n"_s;
    html += u"</div>\n</td>\n</tr>\n<tr><td class=\"plc plm\"><div class=\"sign\">"_s +
            author.signature + u"</div></td></tr>\n"_s;
    html += u"<tr><td class=\"pls\"></td><td class=\"plc\"><div class=\"po\">"
            "<a href=\"forum.php?mod=post&amp;action=reply&amp;tid=%1\">回复</a> "
            "<a href=\"forum.php?mod=post&amp;action=reply&amp;tid=%1&amp;repquote=%2\">引用</a> "
            "<a href=\"misc.php?mod=report&amp;tid=%1\">举报</a></div></td></tr>\n"
            "</table>\n</div>\n"_s.arg(tid)
                .arg(pid);
    return html;
}

QString pager(int tid, int replies, int views) {
    return u"<div class=\"pg\">查看: %1 | 回复: %2</div>\n<h1><a href=\"thread-%3-1-1.html\">"_s
        .arg(views)
        .arg(replies)
        .arg(tid);
}

const Author Feng{u"老鸟阿峰"_s,
                  1024,
                  u"版主"_s,
                  3861,
                  1207,
                  u"2009-5-17"_s,
                  u"装机有问题先看置顶帖，再发帖提问。<br />QQ群：123456（已满）"_s};
const Author Rookie{
    u"小白学装机"_s, 20817, u"初级会员"_s, 86, 41, u"2025-11-2"_s, u"第一次自己装机，请多指教"_s};
const Author Owl{u"夜猫子"_s,
                 9931,
                 u"高级会员"_s,
                 1290,
                 455,
                 u"2014-8-30"_s,
                 u"<a href=\"http://bbs.diybh.test/space-uid-9931.html\">我的空间</a> | "
                 "显卡超频，量力而行"_s};
const Author Passer{u"路过的"_s, 30012, u"新手上路"_s, 5, 3, u"2026-2-28"_s, {}};
const Author Developer{u"Quillmere"_s,
                       777,
                       u"开发者"_s,
                       512,
                       64,
                       u"2016-12-1"_s,
                       u"有问题请在本帖回复，或发邮件给作者。"_s};

QString toolsThread() {
    const Thread &thread = catalogue()[0];
    const QString title = thread.title;
    QString content = pager(thread.tid, 3, 18437) + esc(title) + u"</a></h1>\n"_s;

    content += post(
        thread.tid, 1, Feng, u"2026-3-2 21:15"_s,
        u"<p>应坛友要求，把平时装机常用的工具整理了一下，全部打包成 RAR，解压即可使用。</p>\n"
        "<p>1. 装机必备工具箱：分区、备份、硬件检测都在里面；<br />\n"
        "2. 驱动精灵离线版：装完系统没网卡驱动时用；<br />\n"
        "3. 系统优化设置说明：几个常用的注册表设置，<font color=\"red\">改之前先备份</font>；<br "
        "/>\n"
        "4. 主板BIOS刷新工具：<strong>只对会员开放</strong>，刷坏了本人概不负责。</p>\n"
        "<p>内存测试的那个是老版本，文件名大写，凑合用。</p>"_s,
        attachmentBlock(attachment(5001)) + attachmentBlock(attachment(5002)) +
            attachmentBlock(attachment(5003)) + attachmentBlock(UpperCaseRar) +
            attachmentBlock(attachment(5004),
                            u" <span class=\"xg2\">（您需要 <a href=\"member.php?mod=logging&amp;"
                            "action=login\">登录</a> 才可以下载或查看附件）</span>"_s));

    content += post(thread.tid, 2, Rookie, u"2026-3-2 22:40"_s,
                    u"<p>感谢楼主分享！顺便补充一个硬盘检测的，是 zip 格式的。</p>"_s,
                    attachmentBlock(ZipArchive));

    content += post(thread.tid, 3, Owl, u"2026-3-3 01:12"_s,
                    u"<div class=\"quote\"><blockquote>老鸟阿峰 发表于 2026-3-2 21:15<br />"
                    "应坛友要求，把平时装机常用的工具整理了一下</blockquote></div>\n"
                    "<p>显卡超频的那一套我传一份，另外 CPU-Z 汉化版也在这里：</p>\n"
                    "<p><a href=\"attachment.php?aid=5008\" target=\"_blank\">"_s +
                        esc(TrailingBlank.name) + u"</a>说明：解压后直接运行 cpuz.exe 即可。</p>"_s,
                    attachmentBlock(attachment(5005)));

    content += post(thread.tid, 4, Passer, u"2026-3-4 09:03"_s,
                    u"<p>楼主好人，一生平安！驱动的合集在 <a href=\"thread-1002-1-1.html\">"
                    "这个帖子</a> 里。</p>"_s);

    return page(title + u" - 装机软件区 - "_s + ForumName, crumbs(u"装机软件区"_s, 12, title),
                content);
}

QString driversThread() {
    const Thread &thread = catalogue()[1];
    const QString title = thread.title;
    QString content = pager(thread.tid, 1, 6021) + esc(title) + u"</a></h1>\n"_s;
    content +=
        post(thread.tid, 1, Owl, u"2026-2-20 20:30"_s,
             u"<p>常用的瑞昱、英特尔网卡驱动和几款主板集成声卡驱动，Win7 到 Win11 都有。</p>\n"
             "<p>装完系统先装网卡驱动，再用<a href=\"thread-1001-1-1.html\">装机必备工具箱</a>"
             "里的驱动工具补其它驱动。</p>"_s,
             attachmentBlock(attachment(5101)) + attachmentBlock(attachment(5102)));
    content += post(thread.tid, 2, Rookie, u"2026-2-21 08:15"_s,
                    u"<p>正好需要，网卡驱动亲测可用，谢谢！</p>"_s);
    return page(title + u" - 装机软件区 - "_s + ForumName, crumbs(u"装机软件区"_s, 12, title),
                content);
}

QString releaseThread(const QString &version) {
    const QString title =
        u"【发布】Quillmere %1 —— 论坛 RAR 附件批量下载工具（使用说明）"_s.arg(esc(version));
    QString content = pager(ReleaseThreadId, 1, 52310) + title + u"</a></h1>\n"_s;
    content += post(
        ReleaseThreadId, 1, Developer, u"2026-3-1 12:00"_s,
        u"<p>Quillmere 可以一次下载一个帖子里的全部 RAR 附件，不用一个一个点。</p>\n"
        "<p><strong>使用方法：</strong></p>\n<ol>\n"
        "<li>把帖子的地址粘贴到“帖子链接”，点“分析帖子链接”；</li>\n"
        "<li>在列表里勾选要下载的附件，在“保存到”里选好目录；</li>\n"
        "<li>点“开始下载”，等状态栏显示“所有的附件下载完成。”；</li>\n"
        "<li>勾选“新附件添加到原附件列表”，可以把几个帖子的附件合在一起下载。</li>\n</ol>\n"
        "<p>下载失败的附件标记为“[失  败]”并保持勾选，登录论坛后再点一次“开始下载”就会重试。</p>\n"
        "<p class=\"ver\">myver（软件最新版本号）："_s +
            esc(version) + u"</p>"_s);
    content += post(ReleaseThreadId, 2, Feng, u"2026-3-1 15:42"_s,
                    u"<p>已置顶。有问题的坛友请在本帖回复。</p>"_s);
    return page(title + u" - 站务公告 - "_s + ForumName, crumbs(u"站务公告"_s, 2, title), content);
}

QString notice(const QString &title, const QString &message, const QString &more) {
    return page(u"提示信息 - "_s + ForumName, crumbs({}, 0, u"提示信息"_s),
                u"<div class=\"alert_info\" style=\"background:#fff;border:1px solid #c2d5e3;"
                "padding:30px\">\n<h3>"_s +
                    title + u"</h3>\n<p>"_s + message + u"</p>\n"_s + more + u"</div>\n"_s);
}

} // namespace

QByteArray Gbk(const QString &text) {
    return EncodeLegacy("GBK", text).value_or(QByteArray());
}

const QList<Thread> &threadCatalogue() {
    return catalogue();
}

const QList<Attachment> &allAttachments() {
    static const QList<Attachment> all = [] {
        QList<Attachment> list;
        for (const Thread &thread : catalogue())
            list += thread.attachments;
        list += {UpperCaseRar, ZipArchive, TrailingBlank};
        return list;
    }();
    return all;
}

const Attachment *findAttachment(int aid) {
    const QList<Attachment> &all = allAttachments();
    const auto found =
        std::find_if(all.cbegin(), all.cend(), [aid](const Attachment &a) { return a.aid == aid; });
    return found == all.cend() ? nullptr : &*found;
}

QString sizeText(qint64 bytes) {
    if (bytes >= 1024 * 1024)
        return QString::number(double(bytes) / (1024 * 1024), 'f', 2) + u" MB"_s;
    if (bytes >= 1024)
        return QString::number(double(bytes) / 1024, 'f', 2) + u" KB"_s;
    return QString::number(bytes) + u" Bytes"_s;
}

QByteArray indexPage() {
    QString content = u"<table class=\"plhin\" cellspacing=\"0\" cellpadding=\"8\">\n"
                      "<tr><th align=\"left\">装机软件区</th><th>回复/查看</th></tr>\n"_s;
    for (const Thread &thread : catalogue()) {
        content +=
            u"<tr><td><a href=\"thread-%1-1-1.html\">"_s.arg(thread.tid) + esc(thread.title) +
            u"</a></td><td align=\"center\">%1 个附件</td></tr>\n"_s.arg(thread.attachments.size());
    }
    content +=
        u"<tr><th align=\"left\">站务公告</th><th></th></tr>\n"
        "<tr><td><a href=\"thread-142312-1-1.html\">【发布】Quillmere 论坛 RAR 附件批量下载工具"
        "</a></td><td align=\"center\">置顶</td></tr>\n</table>\n"_s;
    return Gbk(page(ForumName + u" - 首页"_s, crumbs({}, 0, u"首页"_s), content));
}

QByteArray threadPage(int tid, const QString &publishedVersion) {
    if (tid == catalogue()[0].tid)
        return Gbk(toolsThread());
    if (tid == catalogue()[1].tid)
        return Gbk(driversThread());
    if (tid == ReleaseThreadId)
        return Gbk(releaseThread(publishedVersion));
    return {};
}

QByteArray logInPage() {
    return Gbk(notice(u"抱歉，您尚未登录，没有权限下载或查看附件"_s,
                      u"请登录后继续。没有帐号？<a href=\"member.php?mod=register\">立即注册</a>"_s,
                      u"<form method=\"post\" action=\"member.php?mod=logging&amp;action=login"
                      "&amp;loginsubmit=yes\">\n"
                      "<p>用户名：<input type=\"text\" name=\"username\" /></p>\n"
                      "<p>密　码：<input type=\"password\" name=\"password\" /></p>\n"
                      "<p><button type=\"submit\">登录</button></p>\n</form>\n"_s));
}

QByteArray loggedInPage() {
    return Gbk(notice(u"欢迎您回来，演示会员"_s, u"您已登录，现在可以下载会员附件了。"_s,
                      u"<p><a href=\"/\">返回首页</a></p>\n"_s));
}

QByteArray restoredPage() {
    return Gbk(notice(u"附件已恢复"_s, u"被删除的附件已经恢复，可以重新下载了。"_s,
                      u"<p><a href=\"/\">返回首页</a></p>\n"_s));
}

QByteArray hotlinkPage() {
    return Gbk(notice(u"禁止盗链"_s, u"请从论坛的帖子页面下载附件。"_s,
                      u"<p><a href=\""_s + esc(DemoForum::address(u"/"_s)) + u"\">前往 "_s +
                          ForumName + u"</a></p>\n"_s));
}

QByteArray missingAttachmentPage() {
    return Gbk(notice(u"抱歉，指定的附件不存在或已被删除"_s,
                      u"<a href=\"javascript:history.back()\">[ 点击这里返回上一页 ]</a>"_s, {}));
}

QByteArray notFoundPage() {
    return Gbk(notice(u"404 - 您访问的页面不存在"_s,
                      u"<a href=\"/\">返回 "_s + ForumName + u" 首页</a>"_s, {}));
}

QByteArray foreignHostPage(const QByteArray &host) {
    return Gbk(notice(
        u"502 - 演示论坛只代理 "_s + release::ForumHost.toString(),
        u"无法访问 "_s + esc(QString::fromLatin1(host)) + u"：本机的演示论坛不连接互联网。"_s, {}));
}

} // namespace quillmere::demo::pages
