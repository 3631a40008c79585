#pragma once

// What the window asks of the desktop around it: message boxes, the folder dialog,
// opening addresses with the user's programs, where the program lives, and ending the
// process. Tests put a recording stand-in in its place.

#include <QMessageBox>
#include <QString>
#include <QUrl>
#include <functional>
#include <utility>
#include <vector>

class QWidget;

namespace quillmere {

// The title of every message box the program shows.
inline constexpr QStringView MessageTitle = u"提示";

class Platform {
public:
    virtual ~Platform() = default;

    // A modal box with an OK button.
    virtual void messageBox(QWidget *owner, QMessageBox::Icon icon, const QString &title,
                            const QString &text);
    // A modal folder dialog; "" when cancelled.
    virtual QString getExistingDirectory(QWidget *owner, const QString &title,
                                         const QString &startFolder);
    // Opens the address with the user's default program; the result is not looked at.
    virtual void openUrl(const QUrl &address);
    // The folder of the program file.
    virtual QString programFolder();
    // Where down.ini and cookies.txt live: beside the program, or, for an installed
    // program, in the user's configuration folder, made on first use.
    virtual QString settingsFolder();
    // Ends the process at once: nothing after this runs but the last words given to
    // atEnd, in the order given (the cookie store's last write, say).
    virtual void endProcess();
    void atEnd(std::function<void()> lastWords) { m_lastWords.push_back(std::move(lastWords)); }

protected:
    void sayLastWords() {
        for (const auto &words : std::exchange(m_lastWords, {}))
            words();
    }

private:
    std::vector<std::function<void()>> m_lastWords;
};

} // namespace quillmere
