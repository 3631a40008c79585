#include "app/platform.h"

#include "app/termination.h"
#include "settings/settings_folder.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <cstdio>
#include <cstdlib>

namespace quillmere {

namespace {

// The folder an installation puts the program in; a copy run from there is installed.
constexpr QStringView InstalledFolder = QUILLMERE_INSTALLED_BINDIR;

} // namespace

void Platform::messageBox(QWidget *owner, QMessageBox::Icon icon, const QString &title,
                          const QString &text) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    box.exec();
}

QString Platform::getExistingDirectory(QWidget *owner, const QString &title,
                                       const QString &startFolder) {
    // A start given as a shell address ("clsid:..." for the computer's drive list on
    // Windows) only reaches the dialog as a URL.
    if (startFolder.startsWith(QStringLiteral("clsid:"))) {
        return QFileDialog::getExistingDirectoryUrl(owner, title, QUrl(startFolder),
                                                    QFileDialog::ShowDirsOnly,
                                                    {QStringLiteral("file")})
            .toLocalFile();
    }
    return QFileDialog::getExistingDirectory(owner, title, startFolder, QFileDialog::ShowDirsOnly);
}

void Platform::openUrl(const QUrl &address) {
    QDesktopServices::openUrl(address);
}

QString Platform::programFolder() {
    return QCoreApplication::applicationDirPath();
}

QString Platform::settingsFolder() {
    const QString program = programFolder();
    const QString chosen =
        ChooseSettingsFolder(program, InstalledFolder.toString(), UserSettingsFolder());
    if (chosen != program)
        MakeUserSettingsFolder(chosen);
    return chosen;
}

void Platform::endProcess() {
    // Also from deep inside a transfer's wait: no handler, timer or destructor may run
    // after the unload, so leave without unwinding anything.
    sayLastWords();
    std::fflush(nullptr);
    EndProcessNow(0);
}

} // namespace quillmere
