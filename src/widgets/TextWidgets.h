#pragma once

#include <QLineEdit>
#include <QWidget>

class QLabel;

// Dimmed, word-wrapped plain text in the caption style: the status and hint lines of the
// sidebar's sections.
QLabel *captionLabel(QWidget *parent, const QString &objectName = {});

// Plain text on at most `maxLines` lines, word-wrapped, with an ellipsis where it is cut.
class LineLimitedLabel : public QWidget
{
    Q_OBJECT
public:
    explicit LineLimitedLabel(int maxLines, QWidget *parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString &text);
    // The lines as drawn at the current width.
    QStringList visibleLines() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QStringList layoutLines(int width) const;

    QString text_;
    int maxLines_;
};

// A value on one line that the user can select and copy whole. It shows the value shortened in
// its middle while it does not fit, and the whole value while it has the focus.
class ValueField : public QLineEdit
{
    Q_OBJECT
public:
    explicit ValueField(QWidget *parent = nullptr);

    QString value() const { return value_; }
    void setValue(const QString &value);
    // Room for a value of 25 characters, as long as today's UDIDs are.
    QSize sizeHint() const override;

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void showValue();

    QString value_;
};
