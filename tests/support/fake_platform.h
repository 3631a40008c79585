#pragma once

// A stand-in for the desktop: records message boxes, opened addresses and the end of the
// process instead of showing or doing them, and answers the folder dialog from a script.

#include "app/platform.h"

#include <QList>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace quillmere::test {

struct ShownMessage {
    QMessageBox::Icon icon;
    QString title;
    QString text;
};

class FakePlatform : public Platform {
public:
    void messageBox(QWidget *, QMessageBox::Icon icon, const QString &title,
                    const QString &text) override {
        messages.append({icon, title, text});
        if (onMessage)
            onMessage(messages.last());
    }
    QString getExistingDirectory(QWidget *, const QString &title,
                                 const QString &startFolder) override {
        dialogTitles.append(title);
        dialogStarts.append(startFolder);
        return chosenFolder;
    }
    void openUrl(const QUrl &address) override { opened.append(address); }
    QString programFolder() override { return folder; }
    QString settingsFolder() override { return folder; }
    void endProcess() override {
        sayLastWords(); // as the real end does
        ++processEnds;
    }

    QString folder;       // what programFolder() answers
    QString chosenFolder; // what the folder dialog answers ("" = cancelled)
    std::function<void(const ShownMessage &)> onMessage; // runs while the "box is open"

    QList<ShownMessage> messages;
    QStringList dialogTitles;
    QStringList dialogStarts;
    QList<QUrl> opened;
    int processEnds = 0;
};

} // namespace quillmere::test
