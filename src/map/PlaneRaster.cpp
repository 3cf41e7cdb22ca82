#include "map/PlaneRaster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// The bilinear mix of the texel pair at `top` and the pair below it at `bottom`; fx and fy
// in [0, 256).
inline quint32 bilinear(const quint32 *top, const quint32 *bottom, quint32 fx, quint32 fy)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i upper =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(top)), zero);
    const __m128i lower =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(bottom)), zero);
    const __m128i column = _mm_srli_epi16(
        _mm_add_epi16(_mm_mullo_epi16(upper, _mm_set1_epi16(static_cast<short>(256 - fy))),
                      _mm_mullo_epi16(lower, _mm_set1_epi16(static_cast<short>(fy)))),
        8);
    const auto left = static_cast<short>(256 - fx);
    const auto right = static_cast<short>(fx);
    const __m128i weighted =
        _mm_mullo_epi16(column, _mm_set_epi16(right, right, right, right, left, left, left, left));
    const __m128i sum = _mm_srli_epi16(_mm_add_epi16(weighted, _mm_srli_si128(weighted, 8)), 8);
    return static_cast<quint32>(_mm_cvtsi128_si32(_mm_packus_epi16(sum, sum)));
#else
    // Two channels at a time.
    const auto mix = [](quint32 a, quint32 b, quint32 f) {
        const quint32 g = 256 - f;
        const quint32 rb = (((a & 0xFF00FF) * g + (b & 0xFF00FF) * f) >> 8) & 0xFF00FF;
        const quint32 ag = (((a >> 8) & 0xFF00FF) * g + ((b >> 8) & 0xFF00FF) * f) & 0xFF00FF00;
        return rb | ag;
    };
    return mix(mix(top[0], top[1], fx), mix(bottom[0], bottom[1], fx), fy);
#endif
}

// The pixels i of a row whose centres satisfy lo <= start + i * step < hi (with an integer
// range [first, last]); the closed and open ends swap when the step is negative, so that
// neighbouring slabs cover each pixel exactly once.
bool slab(double start, double step, double lo, double hi, qint64 &first, qint64 &last)
{
    if (step == 0.0)
        return start >= lo && start < hi;
    // Bounded, so that a step close to zero still converts to an integer.
    const double a = std::clamp((lo - start) / step, -1e9, 1e9);
    const double b = std::clamp((hi - start) / step, -1e9, 1e9);
    if (std::isnan(a) || std::isnan(b))
        return false;
    if (step > 0.0) { // i >= a and i < b
        first = std::max<qint64>(first, static_cast<qint64>(std::ceil(a)));
        last = std::min<qint64>(last, static_cast<qint64>(std::ceil(b)) - 1);
    } else { // i <= a and i > b
        first = std::max<qint64>(first, static_cast<qint64>(std::floor(b)) + 1);
        last = std::min<qint64>(last, static_cast<qint64>(std::floor(a)));
    }
    return first <= last;
}

} // namespace

PlaneRaster::PlaneRaster(QImage &target, const QTransform &planeToDevice)
    : target_(target)
    , planeToDevice_(planeToDevice)
{
    const QTransform toPlane = planeToDevice.inverted();
    rows_.reserve(target.height());
    for (int y = 0; y < target.height(); ++y) {
        const QPointF first = toPlane.map(QPointF(0.5, y + 0.5));
        const QPointF second = toPlane.map(QPointF(1.5, y + 0.5));
        rows_.append({first.x(), first.y(), second.x() - first.x(), second.y() - first.y()});
    }
}

void PlaneRaster::draw(const QRectF &plane, const QImage &image, const QRect &source)
{
    // The filter reads a texel and its right and lower neighbours inside the source.
    if (plane.isEmpty() || source.width() < 2 || source.height() < 2 || image.depth() != 32
        || !image.rect().contains(source))
        return;
    // The rows it can reach: those between its corners, when all of them are in front.
    int top = 0;
    int bottom = target_.height() - 1;
    double minY = INFINITY;
    double maxY = -INFINITY;
    bool inFront = true;
    for (const QPointF c :
         {plane.topLeft(), plane.topRight(), plane.bottomLeft(), plane.bottomRight()}) {
        const double w =
            planeToDevice_.m13() * c.x() + planeToDevice_.m23() * c.y() + planeToDevice_.m33();
        inFront = inFront && w > 0.0;
        const double y = planeToDevice_.map(c).y();
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    if (inFront) {
        top = std::max(top, static_cast<int>(std::floor(minY)) - 1);
        bottom = std::min(bottom, static_cast<int>(std::ceil(maxY)) + 1);
    }

    const double scaleX = source.width() / plane.width();
    const double scaleY = source.height() / plane.height();
    constexpr double kOne = 65536.0; // texel coordinates in 16.16 fixed point
    // Clamped inside the source, so that the texel right of and below every sample is in it.
    const int minU = source.left() << 16;
    const int maxU = (source.right() << 16) - 1;
    const int minV = source.top() << 16;
    const int maxV = (source.bottom() << 16) - 1;
    const uchar *bits = image.constBits();
    const qsizetype stride = image.bytesPerLine();
    const int width = target_.width();

    // In blocks of rows and columns, so that the texels one block reads stay in the cache
    // however the map is turned.
    constexpr int kBlockRows = 16;
    constexpr qint64 kBlockColumns = 64;
    struct Span
    {
        qint64 first, last, u, v, du, dv;
    };
    std::array<Span, kBlockRows> spans {};
    for (int blockTop = top; blockTop <= bottom; blockTop += kBlockRows) {
        const int rows = std::min(kBlockRows, bottom - blockTop + 1);
        qint64 blockFirst = width;
        qint64 blockLast = -1;
        for (int k = 0; k < rows; ++k) {
            const Row &row = rows_[blockTop + k];
            Span &span = spans[k];
            span.first = 0;
            span.last = width - 1;
            if (!slab(row.x, row.dx, plane.left(), plane.right(), span.first, span.last)
                || !slab(row.y, row.dy, plane.top(), plane.bottom(), span.first, span.last)) {
                span.last = -1;
                continue;
            }
            // Texel centres at half-texel offsets, as a bilinear filter expects.
            const double u =
                (row.x + span.first * row.dx - plane.left()) * scaleX + source.left() - 0.5;
            const double v =
                (row.y + span.first * row.dy - plane.top()) * scaleY + source.top() - 0.5;
            span.u = std::llround(u * kOne);
            span.v = std::llround(v * kOne);
            span.du = std::llround(row.dx * scaleX * kOne);
            span.dv = std::llround(row.dy * scaleY * kOne);
            blockFirst = std::min(blockFirst, span.first);
            blockLast = std::max(blockLast, span.last);
        }
        for (qint64 column = blockFirst; column <= blockLast; column += kBlockColumns) {
            for (int k = 0; k < rows; ++k) {
                const Span &span = spans[k];
                const qint64 from = std::max(span.first, column);
                const qint64 to = std::min(span.last, column + kBlockColumns - 1);
                qint64 u = span.u + (from - span.first) * span.du;
                qint64 v = span.v + (from - span.first) * span.dv;
                auto *out = reinterpret_cast<quint32 *>(target_.scanLine(blockTop + k));
                for (qint64 i = from; i <= to; ++i, u += span.du, v += span.dv) {
                    const int cu = static_cast<int>(std::clamp<qint64>(u, minU, maxU));
                    const int cv = static_cast<int>(std::clamp<qint64>(v, minV, maxV));
                    const auto *line =
                        reinterpret_cast<const quint32 *>(bits + (cv >> 16) * stride);
                    out[i] = bilinear(line + (cu >> 16), line + (cu >> 16) + stride / 4,
                                      (cu >> 8) & 0xFF, (cv >> 8) & 0xFF);
                }
            }
        }
    }
}
