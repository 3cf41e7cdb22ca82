#include "app/ContentView.h"

#include "app/RouteFiles.h"
#include "app/SetupBanner.h"
#include "app/Sidebar.h"
#include "device/DeviceDetection.h"
#include "device/DeviceMonitor.h"
#include "device/DevicePanel.h"
#include "device/PhonesList.h"
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
#include "widgets/Style.h"

#include <QAction>
#include <QFileInfo>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

const QString kBannerClosedKey = QStringLiteral("Window/bannerClosed");
const QString kSectionKey = QStringLiteral("Window/sidebarSection");
const QString kSidebarWidthKey = QStringLiteral("Window/sidebarWidth");
const QString kPaceKey = QStringLiteral("Route/pace");
const QString kCustomSpeedKey = QStringLiteral("Route/customSpeed");
const QString kRepeatKey = QStringLiteral("Route/repeat");
const QString kDriftKey = QStringLiteral("Route/naturalDrift");
const QString kFollowRoadsKey = QStringLiteral("Route/followRoads");
const QString kMapFollowsKey = QStringLiteral("Route/mapFollows");

// The handle between the sidebar and the map: the sidebar's surface with a hairline at the
// map's edge, wide enough to grab.
class SidebarHandle : public QSplitterHandle
{
public:
    using QSplitterHandle::QSplitterHandle;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), style::sidebarSurface(palette()));
        painter.fillRect(QRect(width() - 1, 0, 1, height()), style::dividerLine(palette()));
    }
};

} // namespace

SidebarSplitter::SidebarSplitter(QWidget *parent)
    : QSplitter(Qt::Horizontal, parent)
{
    setHandleWidth(4);
}

QSplitterHandle *SidebarSplitter::createHandle()
{
    return new SidebarHandle(orientation(), this);
}

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
    const MoveHeldLocation move = [spoof = spoof_](bool recenter, CLLocationCoordinate2D point) {
        spoof->moveSpoofedLocation(recenter, point);
    };

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    banner_ = new SetupBanner(this);
    root->addWidget(banner_);
    connect(banner_, &SetupBanner::closeRequested, this, [this] {
        model_->update([](ScreenState &s) { s.showSetupBanner = false; });
        saveChoices();
    });

    devicePanel_ = new DevicePanel;
    coordinatesPanel_ = new CoordinatesPanel(*model_, move);
    sidebar_ = new Sidebar(devicePanel_);
    phonesList_ = new PhonesList(*model_, *spoof_);
    sidebar_->addAboveDevice(phonesList_);
    searchPanel_ = new SearchPanel(*search_);
    // The main job in the first section: find or type a place, or take a quick one.
    auto *location = new QWidget;
    location->setObjectName(QStringLiteral("locationPage"));
    auto *locationLayout = new QVBoxLayout(location);
    locationLayout->setContentsMargins(0, 0, 0, 0);
    locationLayout->setSpacing(8);
    locationLayout->addWidget(searchPanel_);
    locationLayout->addWidget(coordinatesPanel_);
    sidebar_->addSection(QStringLiteral("Location"), location,
                         QStringLiteral("Search for a place, type coordinates, or take a quick "
                                        "location"));
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
    sidebar_->addSection(QStringLiteral("Places"), placesPanel_,
                         QStringLiteral("Places you saved"));
    routePanel_ = new RoutePanel(*route_, *movement_);
    sidebar_->addSection(QStringLiteral("Route"), routePanel_,
                         QStringLiteral("Draw or open a route and move along it"));

    mapPane_ = new MapPane(*model_, move, environment.tileCacheFolder, this, web_);
    mapPane_->setObjectName(QStringLiteral("mapPane"));
    mapPane_->setMinimumSize(420, 480);
    mapPane_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    // The sidebar can be dragged wider; it starts as wide as its content wants, and never gets
    // narrower than its content needs. The map takes whatever the window grows by.
    splitter_ = new SidebarSplitter(this);
    splitter_->setObjectName(QStringLiteral("sidebarSplitter"));
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(sidebar_);
    splitter_->addWidget(mapPane_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    root->addWidget(splitter_, 1);
    fitSidebar();
    routeFiles_ =
        new RouteFiles({*route_, *routePanel_, *movement_, *mapPane_->mapView(), *model_}, this);
    connectRoute();

    connect(devicePanel_, &DevicePanel::detectRequested, detector_,
            &DeviceDetector::startDeviceDetection);
    connect(sidebar_, &Sidebar::toggleLockRequested, this, &ContentView::toggleLock);
    connect(sidebar_, &Sidebar::resetRequested, this, &ContentView::reset);
    // The two buttons' keys, for the window's menu: they do what a click would, when it could.
    lockAction_ = new QAction(QStringLiteral("Spoof Location"), this);
    lockAction_->setObjectName(QStringLiteral("lockAction"));
    lockAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(lockAction_, &QAction::triggered, this, [this] {
        if (sidebar_->lockButton()->isEnabled())
            toggleLock();
    });
    resetAction_ = new QAction(QStringLiteral("Reset Location"), this);
    resetAction_->setObjectName(QStringLiteral("resetAction"));
    resetAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(resetAction_, &QAction::triggered, this, [this] {
        if (sidebar_->resetButton()->isEnabled())
            reset();
    });
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

    // Find (the search panel's own key while it is in sight) brings it to the front from
    // another section.
    auto *findElsewhere = new QShortcut(QKeySequence::Find, this);
    findElsewhere->setContext(Qt::WindowShortcut);
    findElsewhere->setEnabled(false);
    connect(findElsewhere, &QShortcut::activated, this, [this] {
        showSection(searchPanel_);
        searchPanel_->focusField();
    });
    connect(sidebar_->sections(), &QTabWidget::currentChanged, findElsewhere,
            [this, findElsewhere] {
                findElsewhere->setEnabled(
                    !sidebar_->sections()->currentWidget()->isAncestorOf(searchPanel_));
            });

    // Tab goes down the sidebar, top to bottom: the device, the sections' tabs, the section
    // shown, the spoofing buttons, then the map.
    const QList<QWidget *> tabOrder {
        devicePanel_->findChild<QWidget *>(QStringLiteral("detectButton")),
        sidebar_->sections()->tabBar(),
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
        sidebar_->lockButton(),
        sidebar_->resetButton(),
        mapPane_->mapView()}; // the arrow keys steer and pan there
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    render();
}

void ContentView::connectRoute()
{
    MapView *map = mapPane_->mapView();
    connect(routePanel_, &RoutePanel::drawingChanged, map, &MapView::setRouteEditing);
    connect(routePanel_, &RoutePanel::drawingChanged, this, [this](bool drawing) {
        if (drawing)
            showSection(routePanel_);
    });
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
    showSection(routePanel_); // where the route, or why it could not be read, shows
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

void ContentView::fitSidebar(int width)
{
    // Measured once the widgets are polished: their style sheets change their sizes.
    ensurePolished();
    sidebar_->ensurePolished();
    const int least = sidebar_->minimumSizeHint().width();
    splitter_->setSizes({std::max(width > 0 ? width : sidebar_->sizeHint().width(), least),
                         std::max(this->width() - least, mapPane_->minimumWidth())});
    setMinimumSize(std::max(760, least + splitter_->handleWidth() + mapPane_->minimumWidth()), 480);
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (started_)
        return;
    started_ = true;
    fitSidebar(settings_ ? settings_->value(kSidebarWidthKey, 0).toInt() : 0);
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

void ContentView::showSection(QWidget *page)
{
    QTabWidget *sections = sidebar_->sections();
    for (int i = 0; i < sections->count(); ++i)
        if (sections->widget(i)->isAncestorOf(page))
            sections->setCurrentIndex(i);
}

void ContentView::toggleLock()
{
    // A preview moves the pin alone; spoofing takes the pin where the preview left it.
    if (movement_->isPreview())
        movement_->stop();
    spoof_->toggleLocationLock();
}

void ContentView::reset()
{
    spoof_->unlockLocation();
}

void ContentView::useSettings(QSettings *settings)
{
    settings_ = settings;
    if (!settings_)
        return;
    // The choices of the last run; the pin, the camera and the phone start afresh.
    if (settings_->value(kBannerClosedKey, false).toBool())
        model_->update([](ScreenState &s) { s.showSetupBanner = false; });
    const QString section = settings_->value(kSectionKey).toString();
    for (int i = 0; i < sidebar_->sections()->count(); ++i)
        if (sidebar_->sections()->tabText(i) == section)
            sidebar_->sections()->setCurrentIndex(i);
    widthChosen_ = settings_->value(kSidebarWidthKey, 0).toInt() > 0;
    fitSidebar(settings_->value(kSidebarWidthKey, 0).toInt());
    RoutePanel::Choices choices = routePanel_->choices();
    choices.pace = settings_->value(kPaceKey, choices.pace).toInt();
    choices.customSpeed = settings_->value(kCustomSpeedKey, choices.customSpeed).toDouble();
    choices.repeat = settings_->value(kRepeatKey, choices.repeat).toInt();
    choices.drift = settings_->value(kDriftKey, choices.drift).toBool();
    choices.followRoads = settings_->value(kFollowRoadsKey, choices.followRoads).toBool();
    choices.mapFollows = settings_->value(kMapFollowsKey, choices.mapFollows).toBool();
    routePanel_->setChoices(choices);
    connect(routePanel_, &RoutePanel::choicesChanged, this, &ContentView::saveChoices,
            Qt::UniqueConnection);
    connect(sidebar_->sections(), &QTabWidget::currentChanged, this, &ContentView::saveChoices,
            Qt::UniqueConnection);
    connect(splitter_, &QSplitter::splitterMoved, this, &ContentView::sidebarDragged,
            Qt::UniqueConnection);
}

void ContentView::sidebarDragged()
{
    widthChosen_ = true;
    saveChoices();
}

void ContentView::saveChoices()
{
    if (!settings_)
        return;
    const RoutePanel::Choices choices = routePanel_->choices();
    settings_->setValue(kPaceKey, choices.pace);
    settings_->setValue(kCustomSpeedKey, choices.customSpeed);
    settings_->setValue(kRepeatKey, choices.repeat);
    settings_->setValue(kDriftKey, choices.drift);
    settings_->setValue(kFollowRoadsKey, choices.followRoads);
    settings_->setValue(kMapFollowsKey, choices.mapFollows);
    settings_->setValue(kSectionKey,
                        sidebar_->sections()->tabText(sidebar_->sections()->currentIndex()));
    // A width the user dragged to; until then the sidebar follows its content (and its font).
    if (widthChosen_)
        settings_->setValue(kSidebarWidthKey, splitter_->sizes().value(0));
    settings_->setValue(kBannerClosedKey, !model_->state().showSetupBanner);
}

void ContentView::render()
{
    const ScreenState &s = model_->state();
    banner_->setVisible(s.showSetupBanner);
    devicePanel_->render(s);
    coordinatesPanel_->render();
    sidebar_->render(s);
    lockAction_->setText(s.isLocationLocked ? QStringLiteral("Unlock Location")
                                            : QStringLiteral("Spoof Location"));
    lockAction_->setEnabled(!s.disabledLockButton);
    resetAction_->setEnabled(sidebar_->resetButton()->isEnabled());
    mapPane_->mapView()->setSteering(s.isLocationLocked && !movement_->isPlaying());
    // With several phones each held one has its mark; with one, the pin says it all.
    QList<MapView::PhoneMark> marks;
    if (model_->phones().size() >= 2) {
        for (const QString &udid : model_->phones()) {
            const DeviceSession *phone = model_->session(udid);
            if (!phone || !phone->isLocationLocked || !phone->heldAt)
                continue;
            marks.append({*phone->heldAt, phone->shownName(),
                          style::phoneColour(phone->colour),
                          model_->selectedPhones().contains(udid)});
        }
    }
    mapPane_->mapView()->setPhoneMarks(marks);
}
