// frmMain: its controls, start-up, resize and unload. The handlers of the other rooms
// live beside this file (main_window_analysis.cpp, main_window_download.cpp,
// main_window_release.cpp).

#include "app/main_window.h"

#include "analysis/attachment_list.h"
#include "app/attachment_list_view.h"
#include "app/platform.h"
#include "release/release_info.h"
#include "release/version_check.h"
#include "settings/settings.h"
#include "transfer/file_download.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTimer>
#include <limits>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

constexpr QColor Blue(0, 0, 255);
constexpr QColor DarkBlue(0, 0, 128);
constexpr QColor Red(255, 0, 0);

// Positions and sizes are designed in twips; 15 make a pixel at 96 DPI, and Qt's
// high-DPI scaling does the rest.
constexpr int px(int twips) {
    return twips / 15;
}

QRect twipsRect(int left, int top, int width, int height) {
    return {px(left), px(top), px(width), px(height)};
}

// The dialog font the layout was designed for: 12-pixel ideographs and 6-pixel ASCII.
QFont dialogFont() {
    QFont font;
    font.setFamilies(
        {u"SimSun"_s, u"NSimSun"_s, u"Noto Sans Mono CJK SC"_s, u"Noto Sans CJK SC"_s});
    font.setPixelSize(12);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

QPushButton *button(const QString &caption, QRect geometry, QWidget *parent) {
    auto *b = new QPushButton(caption, parent);
    b->setGeometry(geometry);
    b->setAutoDefault(false);
    return b;
}

QLineEdit *textBox(QRect geometry, QWidget *parent) {
    auto *box = new QLineEdit(parent);
    box->setGeometry(geometry);
    box->setMaxLength(std::numeric_limits<int>::max()); // no length limit
    return box;
}

FormLabel *label(const QString &caption, QPoint at, QWidget *parent) {
    auto *l = new FormLabel(caption, true, parent);
    l->move(at);
    return l;
}

} // namespace

frmMain::frmMain(NetworkSession *network, Platform &platform, QWidget *parent)
    : QWidget(parent)
    , m_network(network)
    , m_platform(platform)
    , m_attachments(new AttachmentList(this)) {
    createControls();
    connectHandlers();
    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::createControls() {
    setWindowTitle(u"Quillmere  Ver 1.4"_s);
    setWindowIcon(QIcon(u":/quillmere/icon.png"_s));
    setFont(dialogFont());
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::Button, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    resize(DesignedClientSize);

    // The page loaders are never shown; they only load and parse.
    IE1 = new PageLoader(m_network, this);
    Label1 = label(u"帖子链接："_s, {px(120), px(240)}, this);
    Text1 = textBox(twipsRect(1080, 180, 8175, 300), this);
    Label2 = label(u"保存到："_s, {px(120), px(660)}, this);
    Text2 = textBox(twipsRect(1080, 600, 7215, 300), this);
    Command1 = button(u"浏览..."_s, twipsRect(8280, 600, 975, 300), this);
    List1 = new AttachmentListView(this);
    List1->setGeometry(twipsRect(120, 1680, 9135, 3630));
    List1->setModel(m_attachments);
    Label3 = label(u"RAR附件列表："_s, {px(120), px(1440)}, this);
    Command2 = button(u"开始下载(&D)"_s, twipsRect(2685, 5760, 1695, 375), this);
    Command3 = button(u"退出(&C)"_s, twipsRect(7080, 5760, 1695, 375), this);
    IE2 = new PageLoader(m_network, this);
    Command4 = button(u"分析帖子链接(&F)"_s, twipsRect(480, 5760, 1695, 375), this);
    L_tj = label(u"附件总数：0"_s, {px(6360), px(1440)}, this);
    L_tj->setTextColor(Blue);
    Command5 = button(u"全选(&A)"_s, twipsRect(1680, 1380, 1095, 300), this);
    Command6 = button(u"全消(&X)"_s, twipsRect(2760, 1380, 1095, 300), this);
    Label5 =
        new FormLabel(u"当前状态：请输入帖子链接并选择保存目录后点击分析帖子链接。"_s, false, this);
    Label5->setGeometry(twipsRect(120, 5400, 9060, 180));
    Label14 = label(u"如果您发现此软件任何BUG，或是有改进的建议，请在这里提出。"_s,
                    {px(120), px(6600)}, this);
    Label14->setTextColor(DarkBlue);
    Label14->makeLink(u"点击给我提意见。"_s);
    Label6 = label(u"DIYBrennhall："_s.append(release::ForumHost), {px(120), px(6360)}, this);
    Label6->setTextColor(Blue);
    Label6->makeLink(u"点击进入DIYBrennhall"_s);
    Label7 = label(release::AuthorLine.toString(), {px(2880), px(6360)}, this);
    Label7->setTextColor(Blue);
    Label7->makeLink(u"给我发邮件"_s);
    Command7 = button(u"使用说明(&H)"_s, twipsRect(4875, 5760, 1695, 375), this);
    L_Time = label(QString(), {px(6480), px(5400)}, this);
    L_Time->setTextColor(Blue);
    Check1 = new QCheckBox(u"新附件添加到原附件列表。勾选此项，可实现多帖附件批量下载。"_s, this);
    // The check box's indicator is a little taller than its designed line: keep the line
    // where it was designed and let the box grow around it.
    const QRect check1 = twipsRect(1080, 1080, 5535, 180);
    const int check1Height = std::max(check1.height(), Check1->sizeHint().height());
    Check1->setGeometry(check1.x(), check1.center().y() - check1Height / 2 + 1, check1.width(),
                        check1Height);
    Check1->setAutoFillBackground(true);
    Check1->setPalette(white);
    Label4 = label(release::LatestNotice.toString(), {px(6240), px(6600)}, this);
    Label4->setTextColor(Red);
    Label4->makeLink(u"点击查看软件发布页面。"_s);
    Ie3 = new PageLoader(m_network, this);
    Timer1 = new QTimer(this);
    Timer1->setInterval(60'000);

    QWidget *tabOrder[] = {Text1,    Text2,    Command1, List1,    Command2, Command3,
                           Command4, Command5, Command6, Command7, Check1};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void frmMain::connectHandlers() {
    connect(Command3, &QPushButton::clicked, this, &frmMain::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &frmMain::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &frmMain::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &frmMain::Command6_Click);
    connect(Command2, &QPushButton::clicked, this, &frmMain::Command2_Click);
    connect(Command7, &QPushButton::clicked, this, &frmMain::Command7_Click);
    connect(Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    connect(IE1, &PageLoader::DocumentComplete, this, &frmMain::IE1_DocumentComplete);
    connect(IE1, &PageLoader::NavigateError, this, &frmMain::IE1_NavigateError);
    connect(Ie3, &PageLoader::DocumentComplete, this, &frmMain::Ie3_DocumentComplete);
    connect(Ie3, &PageLoader::NavigateError, this, &frmMain::Ie3_NavigateError);
    connect(m_attachments, &AttachmentList::ItemCheck, this, &frmMain::List1_ItemCheck);
    connect(Timer1, &QTimer::timeout, this, &frmMain::Timer1_Timer);
    connect(Label4, &FormLabel::Click, this, &frmMain::Label4_Click);
    connect(Label6, &FormLabel::Click, this, &frmMain::Label6_Click);
    connect(Label7, &FormLabel::Click, this, &frmMain::Label7_Click);
    connect(Label14, &FormLabel::Click, this, &frmMain::Label14_Click);
}

void frmMain::Form_Load() {
    IE1->setSilent(true);
    IE2->setSilent(true);
    Ie3->setSilent(true);

    g_sAppPath = QDir::toNativeSeparators(m_platform.settingsFolder());
    if (!g_sAppPath.endsWith(QDir::separator()))
        g_sAppPath += QDir::separator();

    Text2->setText(ReadIni(OptionSection, LastDirKey));
    if (Text2->text().isEmpty())
        Text2->setText(QDir::toNativeSeparators(QDir::rootPath())); // "C:\" or "/"

    m_oFileDownload = std::make_unique<CFileDownload>(m_network);
    connect(m_oFileDownload.get(), &CFileDownload::OnProgress, this,
            &frmMain::m_oFileDownload_OnProgress);

    IE1->Navigate2(u"about:blank"_s);
    StartReleaseCheck();
    Timer1->start();
}

void frmMain::Form_Resize() {
    // The list follows the outer width, 360 twips narrower; nothing else moves. A width
    // that cannot be set (a minimised window) leaves the list as it was.
    const double width = (frameGeometry().width() * 15.0 - 360.0) / 15.0;
    if (width < 0 || isMinimized())
        return;
    List1->resize(static_cast<int>(width), List1->height());
}

void frmMain::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void frmMain::changeEvent(QEvent *event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void frmMain::Form_Unload(bool &Cancel) {
    Q_UNUSED(Cancel) // the window always unloads
    m_unloading = true;
    WriteIni(OptionSection, LastDirKey, Text2->text());
    if (m_oFileDownload)
        m_oFileDownload->AbortDownloading();
    QCoreApplication::processEvents();
    // We may be inside this very object's transfer (the unload runs nested in its wait):
    // let it go once control is back in the main loop, never under its own feet.
    if (m_oFileDownload)
        m_oFileDownload.release()->deleteLater();
    QCoreApplication::processEvents();
    m_platform.endProcess();
}

void frmMain::closeEvent(QCloseEvent *event) {
    bool cancel = false;
    if (!m_unloading)
        Form_Unload(cancel);
    event->accept();
}

void frmMain::Command3_Click() {
    close();
}

void frmMain::showMessage(int icon, const QString &text) {
    m_platform.messageBox(this, static_cast<QMessageBox::Icon>(icon), MessageTitle.toString(),
                          text);
}

} // namespace quillmere
