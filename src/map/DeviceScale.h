#pragma once

#include <QPaintDevice>
#include <QPainter>

// Device pixels per logical pixel for what this painter draws. A widget rendered into an image
// (QWidget::render) paints on the widget as its device, with the image's ratio in the device
// transform, so the transform is asked first.
inline qreal deviceScale(const QPainter &painter)
{
    const QTransform transform = painter.deviceTransform();
    if (transform.type() <= QTransform::TxScale && transform.m11() > 0.0
        && transform.m11() == transform.m22())
        return transform.m11();
    return painter.device()->devicePixelRatioF();
}
