#include "map/PinMarker.h"

#include "map/DeviceScale.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <vector>

namespace {

constexpr int kMargin = 8; // room for the shadow around the disc

// A Gaussian blur of the alpha channel of a premultiplied black image, in place.
void blurAlpha(QImage &image, double sigma)
{
    const int radius = static_cast<int>(std::ceil(sigma * 3.0));
    std::vector<double> kernel(2 * radius + 1);
    double sum = 0.0;
    for (int i = -radius; i <= radius; ++i)
        sum += kernel[i + radius] = std::exp(-(i * i) / (2.0 * sigma * sigma));
    for (double &k : kernel)
        k /= sum;

    const int w = image.width();
    const int h = image.height();
    std::vector<double> alpha(static_cast<size_t>(w) * h);
    std::vector<double> pass(alpha.size());
    for (int y = 0; y < h; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            alpha[y * w + x] = qAlpha(line[x]);
    }
    const auto at = [&](const std::vector<double> &v, int x, int y) {
        return x < 0 || y < 0 || x >= w || y >= h ? 0.0 : v[y * w + x];
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double a = 0.0;
            for (int i = -radius; i <= radius; ++i)
                a += kernel[i + radius] * at(alpha, x + i, y);
            pass[y * w + x] = a;
        }
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            double a = 0.0;
            for (int i = -radius; i <= radius; ++i)
                a += kernel[i + radius] * at(pass, x, y + i);
            line[x] = qRgba(0, 0, 0, std::clamp(static_cast<int>(std::lround(a)), 0, 255));
        }
    }
}

} // namespace

const QColor PinMarker::kFreeColor(0x00, 0x7A, 0xFF);
const QColor PinMarker::kHeldColor(0xFF, 0x3B, 0x30);

PinMarker::PinMarker(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    resize(sizeHint());
}

QSize PinMarker::sizeHint() const
{
    return {kDiscDiameter + 2 * kMargin, kDiscDiameter + 2 * kMargin};
}

void PinMarker::setLocationLocked(bool locked)
{
    if (locked == locked_)
        return;
    locked_ = locked;
    update();
}

QRectF PinMarker::discRect() const
{
    const QPointF centre = QRectF(rect()).center();
    return {centre - QPointF(kDiscDiameter, kDiscDiameter) / 2.0,
            QSizeF(kDiscDiameter, kDiscDiameter)};
}

void PinMarker::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal dpr = deviceScale(painter);

    if (shadow_.isNull() || shadow_.devicePixelRatio() != dpr
        || shadow_.deviceIndependentSize() != QSizeF(size())) {
        shadow_ = QImage(size() * dpr, QImage::Format_ARGB32_Premultiplied);
        shadow_.setDevicePixelRatio(dpr);
        shadow_.fill(Qt::transparent);
        QPainter shape(&shadow_);
        shape.setRenderHint(QPainter::Antialiasing);
        shape.setPen(Qt::NoPen);
        shape.setBrush(Qt::black);
        shape.drawEllipse(discRect());
        shape.end();
        // A shadow radius r blurs like a Gaussian of standard deviation r/2.
        blurAlpha(shadow_, kShadowRadius / 2.0 * dpr);
    }
    painter.setOpacity(kShadowOpacity);
    painter.drawImage(QPointF(), shadow_);
    painter.setOpacity(1.0);

    const QRectF disc = discRect();
    painter.setPen(Qt::NoPen);
    painter.setBrush(discColor());
    painter.drawEllipse(disc);

    // The glyph: a round head with a short needle below it, in white.
    const double unit = disc.width() / 26.0;
    const QPointF head = disc.center() - QPointF(0.0, 3.5 * unit);
    QPainterPath glyph;
    glyph.addEllipse(head, 5.0 * unit, 5.0 * unit);
    glyph.addRoundedRect(QRectF(head.x() - 1.1 * unit, head.y(), 2.2 * unit, 11.5 * unit),
                         1.1 * unit, 1.1 * unit);
    glyph.setFillRule(Qt::WindingFill);
    painter.setBrush(Qt::white);
    painter.drawPath(glyph);
}
