#include "widgets/TextWidgets.h"

#include "widgets/Style.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QTextLayout>

QLabel *captionLabel(QWidget *parent, const QString &objectName)
{
    auto *label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setFont(style::font(style::TextStyle::Caption));
    QPalette dim = label->palette();
    dim.setColor(QPalette::WindowText, style::secondaryText(label));
    label->setPalette(dim);
    return label;
}

LineLimitedLabel::LineLimitedLabel(int maxLines, QWidget *parent)
    : QWidget(parent)
    , maxLines_(maxLines)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void LineLimitedLabel::setText(const QString &text)
{
    if (text == text_)
        return;
    text_ = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

QStringList LineLimitedLabel::layoutLines(int width) const
{
    QStringList lines;
    if (text_.isEmpty() || width <= 0)
        return lines;
    QTextLayout layout(text_, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (lines.size() == maxLines_ - 1) {
            // The last line we may draw takes the rest, shortened at its end.
            const QString rest = text_.mid(line.textStart()).simplified();
            lines.append(fontMetrics().elidedText(rest, Qt::ElideRight, width));
            break;
        }
        lines.append(text_.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    return lines;
}

QStringList LineLimitedLabel::visibleLines() const
{
    return layoutLines(width());
}

int LineLimitedLabel::heightForWidth(int width) const
{
    const auto count = qMax<qsizetype>(1, layoutLines(width).size());
    return static_cast<int>(count) * fontMetrics().lineSpacing();
}

QSize LineLimitedLabel::sizeHint() const
{
    const int width = qMin(fontMetrics().horizontalAdvance(text_) + 1, 200);
    return {width, heightForWidth(width)};
}

QSize LineLimitedLabel::minimumSizeHint() const
{
    return {20, fontMetrics().lineSpacing()};
}

void LineLimitedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics metrics = fontMetrics();
    int y = metrics.ascent();
    for (const QString &line : visibleLines()) {
        painter.drawText(0, y, line);
        y += metrics.lineSpacing();
    }
}

void LineLimitedLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QWidget::changeEvent(event);
}

ValueField::ValueField(QWidget *parent)
    : QLineEdit(parent)
{
    setReadOnly(true);
    setFrame(false);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setAttribute(Qt::WA_MacShowFocusRect, false);
    setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
}

void ValueField::setValue(const QString &value)
{
    if (value == value_)
        return;
    value_ = value;
    setAccessibleDescription(value);
    showValue();
}

QSize ValueField::sizeHint() const
{
    const QSize base = QLineEdit::sizeHint();
    return {std::max(base.width(), fontMetrics().horizontalAdvance(QString(25, u'0')) + 10),
            base.height()};
}

void ValueField::showValue()
{
    if (hasFocus()) {
        if (text() != value_)
            setText(value_);
        return;
    }
    const int room = contentsRect().width() - 6;
    setText(fontMetrics().elidedText(value_, Qt::ElideMiddle, qMax(room, 10)));
    setCursorPosition(0);
}

void ValueField::focusInEvent(QFocusEvent *event)
{
    setText(value_);
    QLineEdit::focusInEvent(event);
    selectAll();
}

void ValueField::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    showValue();
}

void ValueField::resizeEvent(QResizeEvent *event)
{
    QLineEdit::resizeEvent(event);
    showValue();
}

void ValueField::keyPressEvent(QKeyEvent *event)
{
    // Copying with nothing selected copies the whole value.
    if (event->matches(QKeySequence::Copy) && !hasSelectedText()) {
        QApplication::clipboard()->setText(value_);
        return;
    }
    QLineEdit::keyPressEvent(event);
}
