#include "app/form_label.h"

#include <QMouseEvent>
#include <QPixmap>

namespace quillmere {

FormLabel::FormLabel(const QString &caption, bool autoSize, QWidget *parent)
    : QLabel(parent)
    , m_autoSize(autoSize) {
    setMargin(0);
    setIndent(0);
    setTextFormat(Qt::PlainText);
    setAttribute(Qt::WA_TranslucentBackground); // the white window shows through
    setCaption(caption);
}

void FormLabel::setCaption(const QString &caption) {
    // Progress reports repeat the status line's text; measuring it again costs more than
    // the whole report.
    if (caption == text() && !caption.isEmpty())
        return;
    setText(caption);
    if (m_autoSize)
        resize(fontMetrics().size(Qt::TextSingleLine, caption));
}

void FormLabel::setTextColor(const QColor &color) {
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, color);
    setPalette(palette);
}

void FormLabel::makeLink(const QString &toolTip) {
    m_link = true;
    setToolTip(toolTip);
    setCursor(handCursor());
}

void FormLabel::mouseReleaseEvent(QMouseEvent *event) {
    QLabel::mouseReleaseEvent(event);
    if (m_link && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT Click();
}

QCursor handCursor() {
    static const QCursor cursor(QPixmap(QStringLiteral(":/quillmere/hand.xpm")), 12, 1);
    return cursor;
}

} // namespace quillmere
