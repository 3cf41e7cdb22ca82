#include "app/ContentView.h"

#include "app/RouteFiles.h"
#include "app/SetupBanner.h"
#include "app/Sidebar.h"
#include "device/DeviceDetection.h"
#include "device/DeviceMonitor.h"
#include "device/DevicePanel.h"
#include "geo/GeolocationLookup.h"
#include "map/CoordinatesPanel.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "map/TileSource.h"
#include "net/WebClient.h"
#include "places/PlacesPanel.h"
#include "places/SavedPlaces.h"
#include "route/Movement.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"
#include "search/PlaceSearch.h"
#include "search/SearchPanel.h"
#include "spoof/FixActions.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"

#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QShortcut>
#include <QVBoxLayout>

ContentView::ContentView(const AppEnvironment &environment, QWidget *parent)
    : QWidget(parent)
    , model_(new ScreenModel(environment, this))
    , web_(new net::WebClient(this))
    , detector_(new DeviceDetector(*model_, this))
    , spoof_(new SpoofController(*model_, this))
    , fixes_(new FixActions(*model_, this))
    , monitor_(new DeviceMonitor(*model_, *detector_, *spoof_, this))
    , geolocation_(new GeolocationLookup(*model_, this, web_))
    , search_(new PlaceSearch(environment, this, web_))
    , places_(new SavedPlaces(environment.dataFolderPath(), this))
    , route_(new RouteModel(environment, this, web_))
    , movement_(new Movement(*model_, *spoof_, this))
{
    setObjectName(QStringLiteral("contentView"));
    web_->setDiskCache(environment.tileCacheFolder.isEmpty() ? TileSource::defaultDiskCacheFolder()
                                                             : environment.tileCacheFolder,
                       TileSource::kDiskCacheSize);
    setMinimumSize(760, 480);
    const MoveHeldLocation move = [spoof = spoof_](bool recenter, CLLocationCoordinate2D point) {
        spoof->moveSpoofedLocation(recenter, point);
    };

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    banner_ = new SetupBanner(this);
    root->addWidget(banner_);
    connect(banner_, &SetupBanner::closeRequested, this,
            [this] { model_->update([](ScreenState &s) { s.showSetupBanner = false; }); });

    auto *main = new QHBoxLayout;
    main->setContentsMargins(0, 0, 0, 0);
    main->setSpacing(0);
    devicePanel_ = new DevicePanel;
    coordinatesPanel_ = new CoordinatesPanel(*model_, move);
    sidebar_ = new Sidebar(devicePanel_, coordinatesPanel_, this);
    searchPanel_ = new SearchPanel(*search_);
    sidebar_->addSectionAbove(searchPanel_, coordinatesPanel_);
    placesPanel_ = new PlacesPanel(
        *places_, *model_,
        // A place saved where a search result or a quick location put the pin takes its name.
        [search = search_](CLLocationCoordinate2D pin) {
            for (const QuickLocation &quick : kQuickLocations)
                if (quick.coordinate == pin)
                    return quick.title.section(u' ', 1);
            return search->nameAt(pin);
        },
        [model = model_, move](CLLocationCoordinate2D place) {
            coordinates::selectPoint(*model, move, place);
        });
    sidebar_->addSection(placesPanel_);
    routePanel_ = new RoutePanel(*route_, *movement_);
    sidebar_->addSection(routePanel_);
    main->addWidget(sidebar_);
    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Sunken);
    main->addWidget(divider);
    mapPane_ = new MapPane(*model_, move, environment.tileCacheFolder, this, web_);
    mapPane_->setObjectName(QStringLiteral("mapPane"));
    mapPane_->setMinimumSize(420, 480);
    mapPane_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    main->addWidget(mapPane_, 1);
    root->addLayout(main, 1);
    routeFiles_ =
        new RouteFiles({*route_, *routePanel_, *movement_, *mapPane_->mapView(), *model_}, this);
    connectRoute();

    connect(devicePanel_, &DevicePanel::detectRequested, detector_,
            &DeviceDetector::startDeviceDetection);
    connect(sidebar_, &Sidebar::toggleLockRequested, spoof_, &SpoofController::toggleLocationLock);
    connect(sidebar_, &Sidebar::resetRequested, spoof_, &SpoofController::unlockLocation);
    connect(devicePanel_, &DevicePanel::fixRequested, fixes_,
            [this] { fixes_->press(FixActions::Device); });
    connect(sidebar_, &Sidebar::fixRequested, fixes_, [this] { fixes_->press(FixActions::Spoof); });
    connect(model_, &ScreenModel::changed, this, &ContentView::render);
    // A found place: the camera shows it, and the pin goes there as a click would put it.
    connect(search_, &PlaceSearch::placeChosen, this,
            [this](CLLocationCoordinate2D coordinate, const MapRegion &region) {
                model_->update([&region](ScreenState &s) {
                    s.cameraPosition = MapCameraPosition::fromRegion(region);
                });
                mapPane_->placePoint(coordinate);
            });

    // Tab goes down the sidebar, top to bottom.
    const QList<QWidget *> tabOrder {
        devicePanel_->findChild<QWidget *>(QStringLiteral("detectButton")),
        searchPanel_->findChild<QWidget *>(QStringLiteral("searchField")),
        searchPanel_->findChild<QWidget *>(QStringLiteral("searchResults")),
        coordinatesPanel_->findChild<QWidget *>(QStringLiteral("latitudeField")),
        coordinatesPanel_->findChild<QWidget *>(QStringLiteral("longitudeField")),
        coordinatesPanel_->findChild<QWidget *>(QStringLiteral("goButton")),
        coordinatesPanel_->findChild<QWidget *>(QStringLiteral("quickLocation0")),
        coordinatesPanel_->findChild<QWidget *>(QStringLiteral("quickLocation1")),
        coordinatesPanel_->findChild<QWidget *>(QStringLiteral("quickLocation2")),
        placesPanel_->findChild<QWidget *>(QStringLiteral("savePlaceButton")),
        placesPanel_->findChild<QWidget *>(QStringLiteral("placesList")),
        placesPanel_->findChild<QWidget *>(QStringLiteral("undoDeleteButton")),
        routePanel_->findChild<QWidget *>(QStringLiteral("drawRouteButton")),
        routePanel_->findChild<QWidget *>(QStringLiteral("clearRouteButton")),
        routePanel_->findChild<QWidget *>(QStringLiteral("followRoadsCheck")),
        routePanel_->findChild<QWidget *>(QStringLiteral("paceCombo")),
        routePanel_->findChild<QWidget *>(QStringLiteral("customSpeedField")),
        routePanel_->findChild<QWidget *>(QStringLiteral("repeatCombo")),
        routePanel_->findChild<QWidget *>(QStringLiteral("driftCheck")),
        routePanel_->findChild<QWidget *>(QStringLiteral("followMapCheck")),
        routePanel_->findChild<QWidget *>(QStringLiteral("playButton")),
        routePanel_->findChild<QWidget *>(QStringLiteral("pauseButton")),
        routePanel_->findChild<QWidget *>(QStringLiteral("stopButton")),
        sidebar_->findChild<QWidget *>(QStringLiteral("lockButton")),
        sidebar_->findChild<QWidget *>(QStringLiteral("resetButton"))};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    render();
}

void ContentView::connectRoute()
{
    MapView *map = mapPane_->mapView();
    connect(routePanel_, &RoutePanel::drawingChanged, map, &MapView::setRouteEditing);
    connect(map, &MapView::routePointAdded, route_, &RouteModel::addWaypoint);
    connect(map, &MapView::routeDotDragged, this,
            [this](int index, CLLocationCoordinate2D at, bool done) {
                route_->setDragging(!done);
                route_->moveWaypoint(index, at);
            });
    connect(map, &MapView::routeUndoRequested, route_, &RouteModel::removeLastWaypoint);
    connect(route_, &RouteModel::changed, this, [this, map] {
        // A track just opened comes with its line made already.
        if (std::optional<mapgeometry::RouteLine> ready =
                routeFiles_->lineFor(route_->path().points())) {
            map->setRoute(std::move(*ready), route_->waypoints());
            return;
        }
        QList<CLLocationCoordinate2D> line;
        line.reserve(route_->path().points().size());
        for (const RoutePoint &point : route_->path().points())
            line.append(point.coordinate);
        map->setRoute(line, route_->waypoints());
    });
    connect(map, &MapView::steeringChanged, this,
            [this, map](QPointF direction) { movement_->steer(direction, map->bearing()); });
    connect(movement_, &Movement::moved, this, [this, map](CLLocationCoordinate2D at, bool follow) {
        const std::optional<QPointF> shown = map->pointFor(at);
        // Recentred only when the traveller nears the edge, so the map does not judder.
        const QRectF inner = QRectF(map->rect())
                                 .adjusted(map->width() * 0.2, map->height() * 0.2,
                                           -map->width() * 0.2, -map->height() * 0.2);
        if (follow && (!shown || !inner.contains(*shown)))
            model_->update([&](ScreenState &s) {
                s.cameraPosition =
                    MapCameraPosition::fromCamera(at, map->zoom(), map->bearing(), map->pitch());
            });
    });
    connect(movement_, &Movement::stateChanged, this, &ContentView::render);
    connect(routeFiles_, &RouteFiles::opened, this, &ContentView::routeOpened);
    connect(routeFiles_, &RouteFiles::saved, this, &ContentView::routeSaved);
    auto *drawKey = new QShortcut(QKeySequence(Qt::Key_R), this);
    drawKey->setContext(Qt::WidgetWithChildrenShortcut);
    connect(drawKey, &QShortcut::activated, this,
            [this] { routePanel_->setDrawing(!routePanel_->isDrawing()); });
}

void ContentView::openRoute(const QString &path)
{
    routeFiles_->open(path);
}

void ContentView::saveRoute(const QString &path)
{
    routeFiles_->save(path);
}

QString ContentView::routeFilePath() const
{
    return routeFiles_->filePath();
}

ContentView::~ContentView()
{
    stopBackgroundWork();
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (started_)
        return;
    started_ = true;
    model_->runStartupSequence();
}

void ContentView::stopBackgroundWork()
{
    if (movement_)
        movement_->halt();
    routeFiles_->cancel();
    search_->cancel();
    if (model_)
        model_->stopBackgroundWork();
    if (spoof_)
        spoof_->endAgent();
    if (fixes_)
        fixes_->cancelAll();
}

void ContentView::render()
{
    const ScreenState &s = model_->state();
    banner_->setVisible(s.showSetupBanner);
    devicePanel_->render(s);
    coordinatesPanel_->render();
    sidebar_->render(s);
    mapPane_->mapView()->setSteering(s.isLocationLocked && !movement_->isPlaying());
}
