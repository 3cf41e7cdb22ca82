#pragma once

#include <QAbstractButton>

// A round button with a needle: red towards north, grey towards south. The map shows it while
// it is turned or tilted; a click brings the map back to north up and flat.
class CompassButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit CompassButton(QWidget *parent = nullptr);

    // Where north is on the screen, in degrees clockwise from up.
    void setNorth(double degrees);
    double north() const { return north_; }

    QSize sizeHint() const override { return {36, 36}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double north_ = 0.0;
};
