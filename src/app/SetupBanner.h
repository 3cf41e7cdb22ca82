#pragma once

#include <QWidget>

// What the phone needs before spoofing can work. Shown from start until it is closed.
class SetupBanner : public QWidget
{
    Q_OBJECT
public:
    explicit SetupBanner(QWidget *parent = nullptr);

Q_SIGNALS:
    void closeRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
};
