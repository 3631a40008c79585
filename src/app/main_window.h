#pragma once

// frmMain, the program's only window. Its controls keep the names the handlers use
// (Command1..Command7, Label1..Label7, Label14, Text1, Text2, List1, Check1, Timer1,
// L_tj, L_Time and the hidden page loaders IE1, IE2, Ie3). The handlers stay thin: the
// work is done by the folder libraries (analysis, download, transfer, release, settings).

#include "analysis/attachment_entry.h"
#include "app/form_label.h"
#include "download/download_rules.h"
#include "web/page_loader.h"

#include <QString>
#include <QWidget>
#include <memory>
#include <optional>

class QCheckBox;
class QLineEdit;
class QListView;
class QPushButton;
class QTimer;

namespace quillmere {

class AttachmentList;
class CFileDownload;
class FramePacer;
class NetworkSession;
class Platform;

class frmMain : public QWidget {
    Q_OBJECT
public:
    // Creates every control and runs Form_Load; the caller shows the window.
    frmMain(NetworkSession *network, Platform &platform, QWidget *parent = nullptr);
    ~frmMain() override;

    // Client area at the designed size: 9405 x 6945 twips.
    static constexpr QSize DesignedClientSize{627, 463};

    // Controls, in tab order.
    PageLoader *IE1;
    FormLabel *Label1;
    QLineEdit *Text1;
    FormLabel *Label2;
    QLineEdit *Text2;
    QPushButton *Command1;
    QListView *List1;
    FormLabel *Label3;
    QPushButton *Command2;
    QPushButton *Command3;
    PageLoader *IE2;
    QPushButton *Command4;
    FormLabel *L_tj;
    QPushButton *Command5;
    QPushButton *Command6;
    FormLabel *Label5;
    FormLabel *Label14;
    FormLabel *Label6;
    FormLabel *Label7;
    QPushButton *Command7;
    FormLabel *L_Time;
    QCheckBox *Check1;
    FormLabel *Label4;
    PageLoader *Ie3;
    QTimer *Timer1;

    // The entries behind List1.
    AttachmentList *attachments() const { return m_attachments; }
    CFileDownload *fileDownload() const { return m_oFileDownload.get(); }
    const QString &saveDir() const { return m_sSaveDir; }
    const QString &fileName() const { return m_sFileName; }
    qint32 ticks() const { return m_lTicks; }

    // Life cycle.
    void Form_Load();
    void Form_Resize();
    void Form_Unload(bool &Cancel);
    void Command3_Click();

    // Thread analysis: discovery, selection and totals.
    void Command4_Click();
    void IE1_DocumentComplete(const QString &URL);
    void IE1_NavigateError(const QString &URL, bool *Cancel);
    void Command5_Click();
    void Command6_Click();
    void List1_ItemCheck(int Item);
    int CountChecked() const;

    // Batch download.
    void Command2_Click();
    void DownloadAll();
    // Fetches entry `index` of the list into the target folder: under its link text, or
    // under a numbered name when another entry of the list saved a file of that name.
    FetchOutcome FetchAttachment(int index);
    void m_oFileDownload_OnProgress(qint64 lProgress, qint64 lMaxProgress, qint32 lStatusCode,
                                    const QString &sStatusText);

    // Release check, links and the folder picker.
    void StartReleaseCheck();
    void Ie3_DocumentComplete(const QString &URL);
    void Ie3_NavigateError(const QString &URL, bool *Cancel);
    void Timer1_Timer();
    void Label4_Click();
    void Label6_Click();
    void Label7_Click();
    void Label14_Click();
    void Command7_Click();
    void Command1_Click();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void connectHandlers();
    void showMessage(int icon, const QString &text);

    NetworkSession *m_network;
    Platform &m_platform;
    AttachmentList *m_attachments;
    std::unique_ptr<CFileDownload> m_oFileDownload;
    bool m_unloading = false;

    // Batch download.
    QString m_sSaveDir;            // validated target folder, ending in a separator
    QString m_sFileName;           // the attachment in transfer
    FramePacer *m_pacer = nullptr; // while a run paints at its own pace
    void setRunControlsEnabled(bool enabled);

    // Thread analysis.
    bool m_analysing = false; // a navigation started by Command4 has not ended yet
    void refreshTotals();     // L_tj from the entry count and CountChecked

    // Release check.
    qint32 m_lTicks = 0;
    QString BrowseForFolder(QWidget *owner, const QString &title);
};

} // namespace quillmere
