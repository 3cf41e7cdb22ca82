#include "map/MapPane.h"

#include "map/MapView.h"
#include "map/PinMarker.h"
#include "map/TileSource.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QLabel>
#include <QVBoxLayout>

const QString &MapPane::markerTitle()
{
    static const QString title = QStringLiteral("Spoofed Location");
    return title;
}

MapPane::MapPane(ScreenModel &model, MoveSpoofedLocation moveSpoofedLocation,
                 const QString &tileCacheFolder, QWidget *parent, net::WebClient *web)
    : QWidget(parent)
    , model_(model)
    , moveSpoofedLocation_(std::move(moveSpoofedLocation))
    , map_(new MapView(model.environment().tileUrlTemplate, tileCacheFolder, this, web))
    , marker_(new PinMarker)
{
    setObjectName(QStringLiteral("mapPane"));
    map_->setObjectName(QStringLiteral("mapView"));
    map_->setAccessibleName(QStringLiteral("Map"));
    map_->setAccessibleDescription(QStringLiteral(
        "A click puts the pin there; the arrow keys pan the map, or steer a held location"));
    marker_->setObjectName(QStringLiteral("pinMarker"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(map_);
    map_->setMarkerView(marker_);
    map_->setMarkerTitle(markerTitle());

    // One quiet line over the map while its tiles cannot be fetched.
    offline_ = new QLabel(QStringLiteral("Map tiles unavailable — no connection"), this);
    offline_->setObjectName(QStringLiteral("offlineNotice"));
    offline_->setAccessibleName(offline_->text());
    offline_->setTextFormat(Qt::PlainText);
    offline_->setAttribute(Qt::WA_TransparentForMouseEvents);
    offline_->setStyleSheet(
        QStringLiteral("QLabel { background: rgba(40, 40, 40, 190); color: white;"
                       " border-radius: 10px; padding: 4px 12px; }"));
    offline_->hide();
    connect(map_->tileSource(), &TileSource::offlineChanged, this, [this](bool offline) {
        offline_->setVisible(offline);
        placeNotice();
    });

    connect(map_, &MapView::clicked, this, &MapPane::handleMapTap);
    connect(map_, &MapView::cameraChangedByUser, this, &MapPane::writeCameraBack);
    connect(&model_, &ScreenModel::changed, this, &MapPane::applyState);
    applyState();
}

void MapPane::placeNotice()
{
    offline_->adjustSize();
    offline_->move((width() - offline_->width()) / 2, 12);
    offline_->raise();
}

void MapPane::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeNotice();
}

void MapPane::setMoveSpoofedLocation(MoveSpoofedLocation moveSpoofedLocation)
{
    moveSpoofedLocation_ = std::move(moveSpoofedLocation);
}

void MapPane::handleMapTap(QPointF point)
{
    if (const std::optional<CLLocationCoordinate2D> coordinate = map_->coordinateAt(point))
        placePoint(coordinates::rounded(*coordinate));
}

void MapPane::placePoint(CLLocationCoordinate2D coordinate)
{
    if (model_.state().isLocationLocked) {
        if (moveSpoofedLocation_)
            moveSpoofedLocation_(false, coordinate);
        return;
    }
    coordinates::placePin(model_, false, coordinate);
}

void MapPane::applyState()
{
    const ScreenState &state = model_.state();
    marker_->setLocationLocked(state.isLocationLocked);
    map_->setMarkerCoordinate(state.pinCoordinate);

    // Only a new request moves the map: never the pane's own write-back coming round again,
    // always the program's region, even when it names the place shown before.
    const MapCameraPosition &camera = state.cameraPosition;
    if (camera.request == shown_.request && camera == shown_)
        return;
    shown_ = camera;
    if (camera.kind == MapCameraPosition::Kind::Region)
        map_->showRegion(camera.region);
    else
        map_->setCamera(camera.center, camera.zoom, camera.bearing, camera.pitch);
}

void MapPane::writeCameraBack()
{
    shown_ =
        MapCameraPosition::fromCamera(map_->center(), map_->zoom(), map_->bearing(), map_->pitch());
    model_.update([camera = shown_](ScreenState &s) { s.cameraPosition = camera; });
}
