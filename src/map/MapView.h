#pragma once

#include "map/RouteLine.h"
#include "map/Viewport.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <optional>

class CompassButton;
class QGestureEvent;
class QVariantAnimation;
class TileSource;
namespace net {
class WebClient;
}

// A slippy map of raster tiles: drag to pan (with a fling), wheel, trackpad and pinch to zoom
// about the pointer, double-click to zoom in (with Shift: out), arrow keys and +/- too. Zoom
// runs from 2 to 19 in fractional steps. A press that moves less than the platform's drag
// distance is a click and is reported as clicked(); a drag never clicks.
//
// It turns and tilts as the common map widgets do: a right-button or Ctrl+left drag turns it
// (across) and tilts it (up and down), the two-finger rotate gesture turns it, Shift+Left and
// Shift+Right turn it by 15°, Shift+Up and Shift+Down tilt it by 10° (up to 60°). While turned
// or tilted a compass in the top-right corner shows north; its click goes back to north up.
//
// It shows one marker: a child view whose centre stands on a coordinate, on the copy of the
// world nearest the view centre, with a title below it, both upright at every camera and
// hidden while the coordinate lies behind the camera. While a tile is missing it shows a
// lower-zoom tile scaled up, higher-zoom tiles scaled down, or a neutral grid.
class MapView : public QWidget
{
    Q_OBJECT
public:
    // An empty URL template gives an offline map (the grid only); an empty cache folder the
    // user's cache folder. With a web client the tiles come through it (and its cache).
    explicit MapView(const QString &tileUrlTemplate, const QString &tileCacheFolder = {},
                     QWidget *parent = nullptr, net::WebClient *web = nullptr);
    ~MapView() override;

    TileSource *tileSource() const { return tiles_; }
    const mapgeometry::Viewport &viewport() const { return viewport_; }
    CLLocationCoordinate2D center() const { return viewport_.center(); }
    double zoom() const { return viewport_.zoom(); }
    double bearing() const { return viewport_.bearing(); }
    double pitch() const { return viewport_.pitch(); }

    // The program's camera, shown at once; a running animation stops. A region (north up and
    // flat) stays in force (refitted when the view is resized) until the user moves the map.
    void showRegion(const MapRegion &region);
    void setCamera(CLLocationCoordinate2D center, double zoom, double bearing = 0.0,
                   double pitch = 0.0);
    // Turns the map back to north up and flat, in about 300 ms (the compass's click).
    void resetNorth();

    std::optional<CLLocationCoordinate2D> coordinateAt(QPointF viewPoint) const
    {
        return viewport_.toCoordinate(viewPoint);
    }
    std::optional<QPointF> pointFor(CLLocationCoordinate2D coordinate) const
    {
        return viewport_.toView(coordinate);
    }

    // The map takes the view as its child and keeps it centred on the marker coordinate.
    void setMarkerView(QWidget *view);
    void setMarkerCoordinate(CLLocationCoordinate2D coordinate);
    void setMarkerTitle(const QString &title);
    CLLocationCoordinate2D markerCoordinate() const { return markerCoordinate_; }
    // Where the title is drawn, in view coordinates (empty without a title).
    QRectF markerTitleRect() const;

    bool isAnimating() const;

    // A route drawn over the tiles: its line, and numbered dots on its waypoints. While editing,
    // a click adds a waypoint (routePointAdded) instead of clicking, and a dot can be dragged.
    void setRoute(const QList<CLLocationCoordinate2D> &line,
                  const QList<CLLocationCoordinate2D> &dots);
    // The same with the line made ready already (off the GUI thread, for a long track).
    void setRoute(mapgeometry::RouteLine line, const QList<CLLocationCoordinate2D> &dots);
    void setRouteEditing(bool editing);
    bool isRouteEditing() const { return routeEditing_; }
    // The dot under a view point (within reach of a finger), or -1.
    int routeDotAt(QPointF viewPoint) const;
    // While steering, the arrow keys and W A S D steer (steeringChanged) instead of panning.
    void setSteering(bool steering);

    // The phones that hold a location, each a dot in its colour with its name beside it; the
    // selected ones larger and ringed. None: the pin alone says where the phone is.
    struct PhoneMark
    {
        CLLocationCoordinate2D at;
        QString name;
        QColor colour;
        bool selected = false;
    };
    void setPhoneMarks(const QList<PhoneMark> &marks);
    const QList<PhoneMark> &phoneMarks() const { return phoneMarks_; }

    QSize sizeHint() const override { return {420, 480}; }

    static const QString &attribution();

Q_SIGNALS:
    // A click, at its point in the view's coordinates.
    void clicked(QPointF point);
    // The user's pan, zoom, turn or tilt came to rest: a drag or fling ended, an animation
    // finished, a burst of wheel or gesture events paused, a key turned or tilted the map.
    void cameraChangedByUser();
    void routePointAdded(CLLocationCoordinate2D coordinate);
    // A dot dragged to a coordinate; `done` on the release.
    void routeDotDragged(int index, CLLocationCoordinate2D coordinate, bool done);
    // Backspace while editing: the last waypoint goes.
    void routeUndoRequested();
    // The direction the held steering keys point on the screen (x right, y down), or none.
    void steeringChanged(QPointF direction);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    bool event(QEvent *event) override;

private:
    void paintPhoneMarks(QPainter &painter);

    QList<PhoneMark> phoneMarks_;
    struct Animation
    {
        enum class Kind { None, Zoom, Fling };
        Kind kind = Kind::None;
        QElapsedTimer clock;
        double duration = 0.0; // seconds
        // Zoom: from, to, about an anchor point.
        double fromZoom = 0.0;
        double toZoom = 0.0;
        QPointF anchor;
        // Fling: from where (the release point), its initial velocity (pixels per second) and the
        // distance already moved.
        QPointF velocity;
        QPointF moved;

        bool isActive() const { return kind != Kind::None; }
    };
    struct Sample
    {
        qint64 time;
        QPointF position;
    };

    void viewportChanged();
    void userMoved();
    void finishUserMove();
    void animateZoom(QPointF anchor, double toZoom);
    void startFling(QPointF from, QPointF velocity);
    // Turns and tilts by the given amounts (degrees) about the view centre, or turns about
    // `about` when given; a user's move.
    void orbit(double turn, double tilt, std::optional<QPointF> about = {});
    bool pinchEvent(QGestureEvent *event);
    void stopAnimation();
    void step();
    void requestTiles();
    void placeMarker();

    void paintFocus(QPainter &painter);
    void paintLabels(QPainter &painter, qreal dpr);
    void paintRoute(QPainter &painter);
    // A steering key pressed or released; false for other keys.
    bool steerKey(QKeyEvent *event, bool down);
    // The view point of a point in world units, on the copy of the world nearest `near`
    // (units); none behind the camera.
    std::optional<QPointF> unitToView(QPointF unit) const;

    TileSource *tiles_ = nullptr;
    mapgeometry::Viewport viewport_;
    std::optional<MapRegion> regionInForce_;

    QPointer<QWidget> markerView_;
    CLLocationCoordinate2D markerCoordinate_;
    QString markerTitle_;

    // The press of a possible click or drag; an orbiting drag turns and tilts the map.
    enum class Drag { None, Pan, Orbit };
    bool pressed_ = false;
    Qt::MouseButton pressButton_ = Qt::NoButton;
    bool orbitPress_ = false;
    Drag drag_ = Drag::None;
    bool pressStoppedFling_ = false;
    QPointF pressPosition_;
    QPointF lastPosition_;
    QList<Sample> samples_;

    bool userMoved_ = false;
    Animation animation_;
    QTimer frameTimer_;
    QTimer settleTimer_;
    bool tileRequestPending_ = false;
    CompassButton *compass_ = nullptr;
    QVariantAnimation *northAnimation_ = nullptr;

    // Text drawn over the map, rendered once per device pixel ratio.
    QImage titleImage_;
    QImage turnedBuffer_; // what a turned or tilted view draws its tiles into
    QImage attributionImage_;

    mapgeometry::RouteLine routeLine_;
    QList<QPointF> routeDots_;
    bool routeEditing_ = false;
    int draggedDot_ = -1;
    bool steering_ = false;
    QList<int> steerKeys_; // held, in the order pressed
};
