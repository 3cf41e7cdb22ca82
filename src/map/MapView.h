#pragma once

#include "map/Viewport.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <optional>

class TileSource;

// A slippy map of raster tiles: drag to pan (with a fling), wheel, trackpad and pinch to zoom
// about the pointer, double-click to zoom in (with Shift: out), arrow keys and +/- too. Zoom
// runs from 2 to 19 in fractional steps. A press that moves less than the platform's drag
// distance is a click and is reported as clicked(); a drag never clicks.
//
// It shows one marker: a child view whose centre stands on a coordinate, on the copy of the
// world nearest the view centre, with a title below it. While a tile is missing it shows a
// lower-zoom tile scaled up, higher-zoom tiles scaled down, or a neutral grid.
//
// The map does not rotate or tilt: raster tiles are drawn north up.
class MapView : public QWidget
{
    Q_OBJECT
public:
    // An empty URL template gives an offline map (the grid only); an empty cache folder the
    // user's cache folder.
    explicit MapView(const QString &tileUrlTemplate, const QString &tileCacheFolder = {},
                     QWidget *parent = nullptr);
    ~MapView() override;

    TileSource *tileSource() const { return tiles_; }
    const mapgeometry::Viewport &viewport() const { return viewport_; }
    CLLocationCoordinate2D center() const { return viewport_.center(); }
    double zoom() const { return viewport_.zoom(); }

    // The program's camera, shown at once; a running animation stops. A region stays in force
    // (refitted when the view is resized) until the user moves the map.
    void showRegion(const MapRegion &region);
    void setCamera(CLLocationCoordinate2D center, double zoom);

    std::optional<CLLocationCoordinate2D> coordinateAt(QPointF viewPoint) const
    {
        return viewport_.toCoordinate(viewPoint);
    }
    QPointF pointFor(CLLocationCoordinate2D coordinate) const
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

    bool isAnimating() const { return animation_.isActive(); }

    QSize sizeHint() const override { return {420, 480}; }

    static const QString &attribution();

Q_SIGNALS:
    // A click, at its point in the view's coordinates.
    void clicked(QPointF point);
    // The user's pan or zoom came to rest: a drag or fling ended, a zoom animation finished,
    // a burst of wheel or pinch events paused.
    void cameraChangedByUser();

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
    bool event(QEvent *event) override;

private:
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
        // Fling: initial velocity (pixels per second) and the distance already moved.
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
    void startFling(QPointF velocity);
    void stopAnimation();
    void step();
    void requestTiles();
    void placeMarker();

    void paintLabels(QPainter &painter, qreal dpr);

    TileSource *tiles_ = nullptr;
    mapgeometry::Viewport viewport_;
    std::optional<MapRegion> regionInForce_;

    QPointer<QWidget> markerView_;
    CLLocationCoordinate2D markerCoordinate_;
    QString markerTitle_;

    // The press of a possible click or drag.
    bool pressed_ = false;
    bool dragging_ = false;
    bool pressStoppedFling_ = false;
    QPointF pressPosition_;
    QPointF lastPosition_;
    QList<Sample> samples_;

    bool userMoved_ = false;
    Animation animation_;
    QTimer frameTimer_;
    QTimer settleTimer_;
    bool tileRequestPending_ = false;

    // Text drawn over the map, rendered once per device pixel ratio.
    QImage titleImage_;
    QImage attributionImage_;
};
