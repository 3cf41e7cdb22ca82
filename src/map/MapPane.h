#pragma once

#include "coordinates/Coordinates.h"

#include <QWidget>
#include <functional>

class MapView;
class QLabel;
class PinMarker;
class ScreenModel;
namespace net {
class WebClient;
}

// The map of the screen: bound both ways to the camera position of the screen state, with the
// pin ("Spoofed Location") at the pin coordinate in the colour of the held flag. A click moves
// the pin, or the held location while one is held; it never moves the camera.
class MapPane : public QWidget
{
    Q_OBJECT
public:
    // Moves a held location to a point (recenter says whether the camera follows).
    using MoveSpoofedLocation = std::function<void(bool recenter, CLLocationCoordinate2D)>;

    static const QString &markerTitle();

    // The tile URL comes from the model's environment; an empty cache folder means the user's.
    // With a web client the tiles come through it (and its cache).
    explicit MapPane(ScreenModel &model, MoveSpoofedLocation moveSpoofedLocation = {},
                     const QString &tileCacheFolder = {}, QWidget *parent = nullptr,
                     net::WebClient *web = nullptr);

    void setMoveSpoofedLocation(MoveSpoofedLocation moveSpoofedLocation);

    MapView *mapView() const { return map_; }
    // "Map tiles unavailable — no connection", over the map while tiles cannot be fetched.
    QLabel *offlineNotice() const { return offline_; }
    PinMarker *pinMarker() const { return marker_; }

    // A click at a point of the map view.
    void handleMapTap(QPointF point);
    // What a click does at a coordinate: moves the held location, or the pin; never the camera.
    void placePoint(CLLocationCoordinate2D coordinate);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyState();
    void placeNotice();
    void writeCameraBack();

    ScreenModel &model_;
    MoveSpoofedLocation moveSpoofedLocation_;
    MapView *map_ = nullptr;
    PinMarker *marker_ = nullptr;
    QLabel *offline_ = nullptr;
    // The camera position the map shows: the last one applied or written back.
    MapCameraPosition shown_;
};
