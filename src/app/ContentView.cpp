#include "app/ContentView.h"

#include "app/SetupBanner.h"
#include "app/Sidebar.h"
#include "device/DeviceDetection.h"
#include "device/DeviceMonitor.h"
#include "device/DevicePanel.h"
#include "geo/GeolocationLookup.h"
#include "map/CoordinatesPanel.h"
#include "map/MapPane.h"
#include "places/PlacesPanel.h"
#include "places/SavedPlaces.h"
#include "search/PlaceSearch.h"
#include "search/SearchPanel.h"
#include "spoof/FixActions.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

ContentView::ContentView(const AppEnvironment &environment, QWidget *parent)
    : QWidget(parent)
    , model_(new ScreenModel(environment, this))
    , detector_(new DeviceDetector(*model_, this))
    , spoof_(new SpoofController(*model_, this))
    , fixes_(new FixActions(*model_, this))
    , monitor_(new DeviceMonitor(*model_, *detector_, *spoof_, this))
    , geolocation_(new GeolocationLookup(*model_, this))
    , search_(new PlaceSearch(environment, this))
    , places_(new SavedPlaces(environment.dataFolderPath(), this))
{
    setObjectName(QStringLiteral("contentView"));
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
        [search = search_](CLLocationCoordinate2D pin) { return search->nameAt(pin); },
        [model = model_, move](CLLocationCoordinate2D place) {
            coordinates::selectPoint(*model, move, place);
        });
    sidebar_->addSection(placesPanel_);
    main->addWidget(sidebar_);
    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Sunken);
    main->addWidget(divider);
    mapPane_ = new MapPane(*model_, move, environment.tileCacheFolder, this);
    mapPane_->setObjectName(QStringLiteral("mapPane"));
    mapPane_->setMinimumSize(420, 480);
    mapPane_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    main->addWidget(mapPane_, 1);
    root->addLayout(main, 1);

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
        sidebar_->findChild<QWidget *>(QStringLiteral("lockButton")),
        sidebar_->findChild<QWidget *>(QStringLiteral("resetButton"))};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    render();
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
}
