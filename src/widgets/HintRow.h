#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// One hint line under a status, with an optional button beside it. Shows what it is given.
class HintRow : public QWidget
{
    Q_OBJECT
public:
    // Its controls are named <name>Label and <name>Button.
    explicit HintRow(const QString &name, QWidget *parent = nullptr);

    // Hidden when `text` is empty; the button only when `buttonText` is not.
    void render(const QString &text, const QString &buttonText, const QString &tooltip);

Q_SIGNALS:
    void buttonPressed();

private:
    QLabel *label_;
    QPushButton *button_;
};
