#pragma once

#include <QImage>
#include <QList>
#include <QRectF>
#include <QTransform>

// Draws images of the map's plane onto a target image through the camera's projective map, a
// row of pixels at a time. Along one row of the view the map from the view back to the plane is
// affine (the tilt only depends on the row), so texels are stepped along the row with bilinear
// filtering: exact, and several times cheaper than a projective fill per pixel.
class PlaneRaster
{
public:
    // `planeToDevice` maps plane points to the target's pixels; the whole target lies below the
    // horizon. The target is 32-bit and stays alive while this draws on it.
    PlaneRaster(QImage &target, const QTransform &planeToDevice);

    // Draws the `source` part of a 32-bit `image` over `plane`. A pixel is painted when its
    // centre lies in the half-open rectangle, so rectangles that share an edge meet without a
    // seam and without overlap.
    void draw(const QRectF &plane, const QImage &image, const QRect &source);

private:
    struct Row
    {
        double x, y; // the plane point under the row's first pixel centre
        double dx, dy; // per pixel along the row
    };

    QImage &target_;
    QTransform planeToDevice_;
    QList<Row> rows_;
};
