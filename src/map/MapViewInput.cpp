#include "map/MapView.h"

#include <QApplication>
#include <QGestureEvent>
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
constexpr double kOrbitDegreesPerPixel = 0.5; // 120 pixels up tilt the map fully
constexpr double kKeyTurnDegrees = 15.0;
constexpr double kKeyTiltDegrees = 10.0;

} // namespace

void MapView::orbit(double turn, double tilt, std::optional<QPointF> about)
{
    if (about)
        viewport_.rotateAround(*about, viewport_.bearing() + turn);
    else
        viewport_.setBearing(viewport_.bearing() + turn);
    viewport_.setPitch(viewport_.pitch() + tilt);
    userMoved();
    viewportChanged();
}

void MapView::mousePressEvent(QMouseEvent *event)
{
    // The right button, or the left one with Ctrl, turns and tilts; it never clicks.
    const bool orbitPress = event->button() == Qt::RightButton
        || (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ControlModifier));
    if (event->button() != Qt::LeftButton && !orbitPress) {
        event->ignore();
        return;
    }
    if (routeEditing_ && !orbitPress) {
        draggedDot_ = routeDotAt(event->position());
        if (draggedDot_ >= 0) {
            update();
            return;
        }
    }
    // A press that catches a flinging map only stops it; a zoom stops where it is.
    pressStoppedFling_ = animation_.kind == Animation::Kind::Fling;
    if (isAnimating()) {
        stopAnimation();
        finishUserMove();
    }
    pressed_ = true;
    pressButton_ = event->button();
    orbitPress_ = orbitPress;
    drag_ = Drag::None;
    pressPosition_ = lastPosition_ = event->position();
    samples_ = {{static_cast<qint64>(event->timestamp()), event->position()}};
}

void MapView::mouseMoveEvent(QMouseEvent *event)
{
    if (draggedDot_ >= 0) {
        if (const auto at = coordinateAt(event->position()))
            Q_EMIT routeDotDragged(draggedDot_, *at, false);
        return;
    }
    if (!pressed_)
        return;
    const QPointF position = event->position();
    if (drag_ == Drag::None) {
        if ((position - pressPosition_).manhattanLength() < QApplication::startDragDistance())
            return;
        drag_ = orbitPress_ ? Drag::Orbit : Drag::Pan;
        setCursor(orbitPress_ ? Qt::SizeAllCursor : Qt::ClosedHandCursor);
    }
    if (drag_ == Drag::Orbit) {
        // Rightwards turns the map clockwise, upwards tilts it further.
        const QPointF delta = position - lastPosition_;
        lastPosition_ = position;
        orbit(-delta.x() * kOrbitDegreesPerPixel, -delta.y() * kOrbitDegreesPerPixel);
        return;
    }
    // The place under the pointer stays under it, however the map is turned or tilted.
    viewport_.panBy(lastPosition_, position);
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
    if (draggedDot_ >= 0 && event->button() == Qt::LeftButton) {
        const int dot = std::exchange(draggedDot_, -1);
        if (const auto at = coordinateAt(event->position()))
            Q_EMIT routeDotDragged(dot, *at, true);
        update();
        return;
    }
    if (event->button() != pressButton_ || !pressed_)
        return;
    pressed_ = false;
    const Drag drag = std::exchange(drag_, Drag::None);
    if (drag == Drag::None) {
        if (pressStoppedFling_ || orbitPress_)
            return;
        if (!routeEditing_)
            Q_EMIT clicked(event->position());
        else if (const auto at = coordinateAt(event->position()))
            Q_EMIT routePointAdded(*at);
        return;
    }
    unsetCursor();
    if (drag == Drag::Orbit) {
        finishUserMove();
        return;
    }
    // The speed of the last moments of the drag, unless the pointer rested before release.
    const auto now = static_cast<qint64>(event->timestamp());
    QPointF velocity;
    if (samples_.size() >= 2 && now - samples_.back().time <= kStillBeforeReleaseMs) {
        const Sample &first = samples_.front();
        const Sample &last = samples_.back();
        const double seconds = std::max<qint64>(last.time - first.time, 1) / 1000.0;
        velocity = (last.position - first.position) / seconds;
    }
    startFling(event->position(), velocity);
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
    if (steerKey(event, true))
        return;
    if (routeEditing_ && (event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete)) {
        Q_EMIT routeUndoRequested();
        return;
    }
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
        const int key = event->key();
        if (event->modifiers() & Qt::ShiftModifier) {
            stopAnimation();
            orbit(key == Qt::Key_Left        ? -kKeyTurnDegrees
                      : key == Qt::Key_Right ? kKeyTurnDegrees
                                             : 0.0,
                  key == Qt::Key_Up         ? kKeyTiltDegrees
                      : key == Qt::Key_Down ? -kKeyTiltDegrees
                                            : 0.0);
            finishUserMove();
            return;
        }
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

bool MapView::pinchEvent(QGestureEvent *event)
{
    auto *pinch = static_cast<QPinchGesture *>(event->gesture(Qt::PinchGesture));
    if (!pinch)
        return QWidget::event(event);
    stopAnimation();
    const QPointF at = mapFromGlobal(pinch->centerPoint());
    if ((pinch->changeFlags() & QPinchGesture::ScaleFactorChanged) && pinch->scaleFactor() > 0.0)
        viewport_.zoomAround(at, viewport_.zoom() + std::log2(pinch->scaleFactor()));
    // Angles grow clockwise; the map turns with the fingers.
    if (pinch->changeFlags() & QPinchGesture::RotationAngleChanged)
        viewport_.rotateAround(
            at, viewport_.bearing() - pinch->rotationAngle() + pinch->lastRotationAngle());
    userMoved();
    viewportChanged();
    if (pinch->state() == Qt::GestureFinished || pinch->state() == Qt::GestureCanceled)
        finishUserMove();
    else
        settleTimer_.start();
    event->accept(pinch);
    return true;
}

bool MapView::event(QEvent *event)
{
    if (event->type() == QEvent::Gesture)
        return pinchEvent(static_cast<QGestureEvent *>(event));
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
    case Qt::RotateNativeGesture:
        // The value is the turn since the previous event, in degrees clockwise.
        stopAnimation();
        orbit(-gesture->value(), 0.0, gesture->position());
        settleTimer_.start();
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
