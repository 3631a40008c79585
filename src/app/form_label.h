#pragma once

// The window's labels: auto-size ones take exactly the size of their text; link labels
// add the hand cursor, a tool tip and a click.

#include <QLabel>

namespace quillmere {

class FormLabel : public QLabel {
    Q_OBJECT
public:
    FormLabel(const QString &caption, bool autoSize, QWidget *parent);

    // Sets the text and, for an auto-size label, its size.
    void setCaption(const QString &caption);
    QString caption() const { return text(); }
    void setTextColor(const QColor &color);
    // Turns the label into a link label: hand cursor, tool tip, Click.
    void makeLink(const QString &toolTip);

Q_SIGNALS:
    void Click();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool m_autoSize;
    bool m_link = false;
};

// The pointing hand shown over link labels (hot spot at the fingertip).
QCursor handCursor();

} // namespace quillmere
