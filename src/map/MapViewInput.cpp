#include "map/MapView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QWheelEvent>
#include <cmath>

// How the map answers the mouse, the wheel, the keyboard and trackpad gestures.

namespace {

constexpr double kZoomPerNotch = 0.5; // one click of a mouse wheel
constexpr double kPixelsPerZoomLevel = 200.0; // trackpads that scroll by pixels
constexpr double kDoubleClickDuration = 0.25;
constexpr qint64 kVelocityWindowMs = 100;
constexpr qint64 kStillBeforeReleaseMs = 50; // a pause this long before release: no fling
constexpr double kKeyPanPixels = 100.0;

} // namespace

void MapView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    // A press that catches a flinging map only stops it; a zoom stops where it is.
    pressStoppedFling_ = animation_.kind == Animation::Kind::Fling;
    if (animation_.isActive()) {
        stopAnimation();
        finishUserMove();
    }
    pressed_ = true;
    dragging_ = false;
    pressPosition_ = lastPosition_ = event->position();
    samples_ = {{static_cast<qint64>(event->timestamp()), event->position()}};
}

void MapView::mouseMoveEvent(QMouseEvent *event)
{
    if (!pressed_)
        return;
    const QPointF position = event->position();
    if (!dragging_) {
        if ((position - pressPosition_).manhattanLength() < QApplication::startDragDistance())
            return;
        dragging_ = true;
        setCursor(Qt::ClosedHandCursor);
    }
    viewport_.panBy(position - lastPosition_);
    lastPosition_ = position;
    userMoved();
    viewportChanged();

    const auto now = static_cast<qint64>(event->timestamp());
    samples_.append({now, position});
    while (samples_.size() > 2 && now - samples_.front().time > kVelocityWindowMs)
        samples_.removeFirst();
}

void MapView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !pressed_)
        return;
    pressed_ = false;
    if (!dragging_) {
        if (!pressStoppedFling_)
            Q_EMIT clicked(event->position());
        return;
    }
    dragging_ = false;
    unsetCursor();
    // The speed of the last moments of the drag, unless the pointer rested before release.
    const auto now = static_cast<qint64>(event->timestamp());
    QPointF velocity;
    if (samples_.size() >= 2 && now - samples_.back().time <= kStillBeforeReleaseMs) {
        const Sample &first = samples_.front();
        const Sample &last = samples_.back();
        const double seconds = std::max<qint64>(last.time - first.time, 1) / 1000.0;
        velocity = (last.position - first.position) / seconds;
    }
    startFling(velocity);
}

void MapView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const bool out = event->modifiers() & Qt::ShiftModifier;
    animateZoom(event->position(), std::round(viewport_.zoom()) + (out ? -1.0 : 1.0));
    animation_.duration = kDoubleClickDuration;
}

void MapView::wheelEvent(QWheelEvent *event)
{
    event->accept();
    const QPoint angle = event->angleDelta();
    const QPoint pixels = event->pixelDelta();
    if (angle.y() == 0 && pixels.y() == 0)
        return;
    const bool notches =
        pixels.isNull() && event->phase() == Qt::NoScrollPhase && angle.y() % 120 == 0;
    if (notches) {
        // Clicks of a wheel glide; more clicks during the glide push its target further.
        const double from =
            animation_.kind == Animation::Kind::Zoom ? animation_.toZoom : viewport_.zoom();
        animateZoom(event->position(), from + angle.y() / 120.0 * kZoomPerNotch);
        return;
    }
    // Trackpads and fine wheels send a stream of small steps: follow them directly.
    stopAnimation();
    const double levels =
        pixels.isNull() ? angle.y() / 120.0 * kZoomPerNotch : pixels.y() / kPixelsPerZoomLevel;
    viewport_.zoomAround(event->position(), viewport_.zoom() + levels);
    userMoved();
    viewportChanged();
    settleTimer_.start();
}

void MapView::keyPressEvent(QKeyEvent *event)
{
    const QPointF middle = QRectF(rect()).center();
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        animateZoom(middle, std::round(viewport_.zoom()) + 1.0);
        return;
    case Qt::Key_Minus:
        animateZoom(middle, std::round(viewport_.zoom()) - 1.0);
        return;
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: {
        const QPointF delta = event->key() == Qt::Key_Left ? QPointF(kKeyPanPixels, 0)
            : event->key() == Qt::Key_Right                ? QPointF(-kKeyPanPixels, 0)
            : event->key() == Qt::Key_Up                   ? QPointF(0, kKeyPanPixels)
                                                           : QPointF(0, -kKeyPanPixels);
        stopAnimation();
        viewport_.panBy(delta);
        userMoved();
        viewportChanged();
        finishUserMove();
        return;
    }
    default:
        QWidget::keyPressEvent(event);
    }
}

bool MapView::event(QEvent *event)
{
    if (event->type() != QEvent::NativeGesture)
        return QWidget::event(event);
    auto *gesture = static_cast<QNativeGestureEvent *>(event);
    switch (gesture->gestureType()) {
    case Qt::BeginNativeGesture:
        stopAnimation();
        break;
    case Qt::ZoomNativeGesture:
        // The value is the change of scale since the previous event.
        if (gesture->value() > -1.0) {
            stopAnimation();
            viewport_.zoomAround(gesture->position(),
                                 viewport_.zoom() + std::log2(1.0 + gesture->value()));
            userMoved();
            viewportChanged();
            settleTimer_.start();
        }
        break;
    case Qt::SmartZoomNativeGesture:
        animateZoom(gesture->position(), std::round(viewport_.zoom()) + 1.0);
        break;
    case Qt::EndNativeGesture:
        if (animation_.kind != Animation::Kind::Zoom)
            finishUserMove();
        break;
    default:
        return QWidget::event(event);
    }
    event->accept();
    return true;
}
