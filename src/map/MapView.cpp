#include "map/MapView.h"

#include "map/CompassButton.h"
#include "map/DeviceScale.h"
#include "map/TilePainter.h"
#include "map/TileSource.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>
#include <cmath>

namespace {

constexpr double kNotchDuration = 0.2; // seconds
constexpr double kFlingDeceleration = 3000.0; // pixels per second squared
constexpr double kFlingMinSpeed = 150.0; // pixels per second
constexpr double kFlingMaxSpeed = 4000.0;
constexpr int kSettleMs = 250; // wheel and pinch bursts end after this pause
constexpr int kNorthMs = 300; // back to north up and flat
constexpr int kCompassMargin = 10;

double easeOut(double t)
{
    const double u = 1.0 - t;
    return 1.0 - u * u * u;
}

// Text for the map: dark with a white halo, or (for the attribution) on a pale box.
QImage renderLabel(const QString &text, const QFont &font, qreal dpr, bool boxed)
{
    const QFontMetricsF metrics(font);
    const double pad = boxed ? 4.0 : 2.0;
    const QSizeF size(metrics.horizontalAdvance(text) + 2 * pad,
                      metrics.height() + (boxed ? 2 : 2 * pad));
    QImage image((size * dpr).toSize() + QSize(1, 1), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF baseline(pad, (boxed ? 1 : pad) + metrics.ascent());
    if (boxed) {
        painter.fillRect(QRectF(QPointF(), size), QColor(255, 255, 255, 190));
        painter.setFont(font);
        painter.setPen(QColor(0x33, 0x33, 0x33));
        painter.drawText(baseline, text);
    } else {
        QPainterPath path;
        path.addText(baseline, font, text);
        painter.strokePath(
            path,
            QPen(QColor(255, 255, 255, 230), 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.fillPath(path, QColor(0x1D, 0x1D, 0x1F));
    }
    return image;
}

} // namespace

MapView::MapView(const QString &tileUrlTemplate, const QString &tileCacheFolder, QWidget *parent,
                 net::WebClient *web)
    : QWidget(parent)
    , tiles_(new TileSource(tileUrlTemplate, tileCacheFolder, this, web))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    viewport_.setSize(size());

    frameTimer_.setInterval(16);
    frameTimer_.setTimerType(Qt::PreciseTimer);
    connect(&frameTimer_, &QTimer::timeout, this, &MapView::step);
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleMs);
    connect(&settleTimer_, &QTimer::timeout, this, &MapView::finishUserMove);
    connect(tiles_, &TileSource::tileReady, this, qOverload<>(&MapView::update));

    compass_ = new CompassButton(this);
    compass_->hide();
    connect(compass_, &CompassButton::clicked, this, &MapView::resetNorth);
    northAnimation_ = new QVariantAnimation(this);
    northAnimation_->setDuration(kNorthMs);
    northAnimation_->setEasingCurve(QEasingCurve::OutCubic);
    connect(northAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
        const QPointF bearingAndPitch = v.toPointF();
        viewport_.setBearing(bearingAndPitch.x());
        viewport_.setPitch(bearingAndPitch.y());
        viewportChanged();
    });
    connect(northAnimation_, &QVariantAnimation::finished, this, &MapView::finishUserMove);
#ifndef Q_OS_MACOS
    grabGesture(Qt::PinchGesture); // touch screens; macOS trackpads send native gestures
#endif
}

MapView::~MapView() = default;

const QString &MapView::attribution()
{
    static const QString text = QStringLiteral("© OpenStreetMap contributors");
    return text;
}

void MapView::showRegion(const MapRegion &region)
{
    stopAnimation();
    settleTimer_.stop();
    userMoved_ = false;
    regionInForce_ = region;
    viewport_.fitRegion(region);
    viewportChanged();
}

void MapView::setCamera(CLLocationCoordinate2D center, double zoom, double bearing, double pitch)
{
    stopAnimation();
    settleTimer_.stop();
    userMoved_ = false;
    regionInForce_.reset();
    viewport_.setCamera(center, zoom, bearing, pitch);
    viewportChanged();
}

void MapView::resetNorth()
{
    stopAnimation();
    if (viewport_.isNorthUpFlat())
        return;
    const double bearing = viewport_.bearing();
    // The short way round; the end value 360 wraps to 0.
    northAnimation_->setStartValue(QPointF(bearing, viewport_.pitch()));
    northAnimation_->setEndValue(QPointF(bearing > 180.0 ? 360.0 : 0.0, 0.0));
    userMoved();
    northAnimation_->start();
}

bool MapView::isAnimating() const
{
    return animation_.isActive() || northAnimation_->state() == QAbstractAnimation::Running;
}

void MapView::setMarkerView(QWidget *view)
{
    if (markerView_ && markerView_ != view)
        markerView_->deleteLater();
    markerView_ = view;
    if (view) {
        view->setParent(this);
        view->setAttribute(Qt::WA_TransparentForMouseEvents);
        view->show();
    }
    placeMarker();
}

void MapView::setMarkerCoordinate(CLLocationCoordinate2D coordinate)
{
    if (coordinate == markerCoordinate_)
        return;
    markerCoordinate_ = coordinate;
    placeMarker();
    update();
}

void MapView::setMarkerTitle(const QString &title)
{
    if (title == markerTitle_)
        return;
    markerTitle_ = title;
    titleImage_ = {};
    update();
}

QRectF MapView::markerTitleRect() const
{
    if (markerTitle_.isEmpty())
        return {};
    QFont font = this->font();
    font.setBold(true);
    const QFontMetricsF metrics(font);
    const QSizeF size(metrics.horizontalAdvance(markerTitle_) + 4.0, metrics.height() + 4.0);
    const std::optional<QPointF> at = pointFor(markerCoordinate_);
    if (!at)
        return {};
    const double below = markerView_ ? markerView_->height() / 2.0 : 0.0;
    return {QPointF(at->x() - size.width() / 2.0, at->y() + below - 2.0), size};
}

void MapView::viewportChanged()
{
    placeMarker();
    compass_->setNorth(viewport_.northOnScreen());
    compass_->setVisible(!viewport_.isNorthUpFlat());
    update();
    requestTiles();
}

void MapView::userMoved()
{
    userMoved_ = true;
    regionInForce_.reset();
}

void MapView::finishUserMove()
{
    settleTimer_.stop();
    if (!userMoved_)
        return;
    userMoved_ = false;
    Q_EMIT cameraChangedByUser();
}

void MapView::requestTiles()
{
    if (tileRequestPending_ || !isVisible())
        return;
    // Once per turn of the event loop, however many steps the camera took.
    tileRequestPending_ = true;
    QTimer::singleShot(0, this, [this] {
        tileRequestPending_ = false;
        tiles_->request(viewport_.wantedTiles(1));
    });
}

void MapView::placeMarker()
{
    if (!markerView_)
        return;
    const std::optional<QPointF> at = pointFor(markerCoordinate_);
    markerView_->setVisible(at.has_value());
    if (!at)
        return;
    const QSize size = markerView_->size();
    markerView_->move(qRound(at->x() - size.width() / 2.0), qRound(at->y() - size.height() / 2.0));
}

// ---- Animation --------------------------------------------------------------------------

void MapView::animateZoom(QPointF anchor, double toZoom)
{
    const double target = std::clamp(toZoom, mapgeometry::kMinZoom, mapgeometry::kMaxZoom);
    animation_ = {};
    animation_.kind = Animation::Kind::Zoom;
    animation_.fromZoom = viewport_.zoom();
    animation_.toZoom = target;
    animation_.anchor = anchor;
    animation_.duration = kNotchDuration;
    animation_.clock.start();
    userMoved();
    frameTimer_.start();
}

void MapView::startFling(QPointF from, QPointF velocity)
{
    const double speed = std::hypot(velocity.x(), velocity.y());
    if (speed < kFlingMinSpeed) {
        finishUserMove();
        return;
    }
    if (speed > kFlingMaxSpeed)
        velocity *= kFlingMaxSpeed / speed;
    animation_ = {};
    animation_.kind = Animation::Kind::Fling;
    animation_.anchor = from;
    animation_.velocity = velocity;
    animation_.duration = std::min(speed, kFlingMaxSpeed) / kFlingDeceleration;
    animation_.clock.start();
    frameTimer_.start();
}

void MapView::stopAnimation()
{
    frameTimer_.stop();
    animation_ = {};
    northAnimation_->stop();
}

void MapView::step()
{
    const double t = std::min(1.0, animation_.clock.nsecsElapsed() / 1e9 / animation_.duration);
    switch (animation_.kind) {
    case Animation::Kind::Zoom:
        viewport_.zoomAround(animation_.anchor,
                             t >= 1.0 ? animation_.toZoom
                                      : animation_.fromZoom
                                     + (animation_.toZoom - animation_.fromZoom) * easeOut(t));
        break;
    case Animation::Kind::Fling: {
        // Constant deceleration: the distance covered is v*T*(t - t^2/2) at time t*T.
        const QPointF distance = animation_.velocity * animation_.duration * (t - t * t / 2.0);
        viewport_.panBy(animation_.anchor + animation_.moved, animation_.anchor + distance);
        animation_.moved = distance;
        break;
    }
    case Animation::Kind::None:
        frameTimer_.stop();
        return;
    }
    viewportChanged();
    if (t >= 1.0) {
        stopAnimation();
        finishUserMove();
    }
}

void MapView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    viewport_.setSize(size());
    if (regionInForce_)
        viewport_.fitRegion(*regionInForce_);
    compass_->move(width() - compass_->width() - kCompassMargin, kCompassMargin);
    viewportChanged();
}

void MapView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    requestTiles();
}

// ---- Painting ---------------------------------------------------------------------------

void MapView::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    const qreal dpr = deviceScale(painter);
    if (!viewport_.isNorthUpFlat()) {
        TilePainter(*tiles_).paintTurned(painter, viewport_, dpr, turnedBuffer_);
        paintRoute(painter);
        paintPhoneMarks(painter);
        paintLabels(painter, dpr);
        paintFocus(painter);
        return;
    }
    painter.save();
    // Tiles are placed in device pixels, so their edges meet exactly at every ratio.
    painter.setWorldTransform(QTransform::fromScale(1.0 / dpr, 1.0 / dpr));
    const QRectF dirty = event->rect();
    TilePainter(*tiles_).paint(
        painter, viewport_, QRectF(dirty.topLeft() * dpr, dirty.size() * dpr).toAlignedRect(), dpr);
    painter.restore();
    paintRoute(painter);
    paintPhoneMarks(painter);
    paintLabels(painter, dpr);
    paintFocus(painter);
}

void MapView::paintFocus(QPainter &painter)
{
    // A ring inside the edge while the keyboard brought the focus here (the arrow keys then
    // steer or pan); a click on the map shows none.
    if (!hasFocus() || !window()->testAttribute(Qt::WA_KeyboardFocusChange))
        return;
    painter.save();
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
    painter.restore();
}

void MapView::paintLabels(QPainter &painter, qreal dpr)
{
    if (attributionImage_.isNull() || attributionImage_.devicePixelRatio() != dpr) {
        QFont font = this->font();
        font.setPixelSize(11);
        attributionImage_ = renderLabel(attribution(), font, dpr, true);
    }
    const QSizeF attributionSize = attributionImage_.deviceIndependentSize();
    painter.drawImage(
        QPointF(width() - attributionSize.width(), height() - attributionSize.height()),
        attributionImage_);

    if (markerTitle_.isEmpty())
        return;
    if (titleImage_.isNull() || titleImage_.devicePixelRatio() != dpr) {
        QFont font = this->font();
        font.setBold(true);
        titleImage_ = renderLabel(markerTitle_, font, dpr, false);
    }
    const QRectF where = markerTitleRect();
    if (where.isEmpty())
        return;
    painter.drawImage(
        QPointF(std::round(where.left() * dpr) / dpr, std::round(where.top() * dpr) / dpr),
        titleImage_);
}
