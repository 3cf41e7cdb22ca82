#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

// The pin: a white map-pin glyph on a disc, blue while no location is held and red while one
// is, with a soft black shadow (radius 3, opacity 0.33). Its centre is the pinned point.
class PinMarker : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kDiscDiameter = 26;
    static constexpr double kShadowRadius = 3.0;
    static constexpr double kShadowOpacity = 0.33;
    static const QColor kFreeColor; // system blue
    static const QColor kHeldColor; // system red

    explicit PinMarker(QWidget *parent = nullptr);

    void setLocationLocked(bool locked);
    bool isLocationLocked() const { return locked_; }
    QColor discColor() const { return locked_ ? kHeldColor : kFreeColor; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRectF discRect() const;

    bool locked_ = false;
    QImage shadow_; // the blurred disc, rendered once per device pixel ratio
};
