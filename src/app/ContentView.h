#pragma once

#include "state/AppEnvironment.h"

#include <QSplitter>
#include <QWidget>

class QAction;
class QSettings;
class CoordinatesPanel;
class DeviceDetector;
class DeviceMonitor;
class DevicePanel;
class PhonesList;
class FixActions;
class GeolocationLookup;
class MapPane;
class Movement;
class RouteModel;
class RoutePanel;
class PlaceSearch;
class PlacesPanel;
class RouteFiles;
class SavedPlaces;
class ScreenModel;
class SearchPanel;
class SetupBanner;
class Sidebar;
class SpoofController;
namespace net {
class WebClient;
}

// The divider between the sidebar and the map, which the user can drag.
class SidebarSplitter : public QSplitter
{
    Q_OBJECT
public:
    explicit SidebarSplitter(QWidget *parent = nullptr);

protected:
    QSplitterHandle *createHandle() override;
};

// The one screen: the setup banner over the sidebar and the map. It owns the screen state and
// everything that acts on it, and redraws whenever the state changes.
class ContentView : public QWidget
{
    Q_OBJECT
public:
    explicit ContentView(const AppEnvironment &environment = {}, QWidget *parent = nullptr);
    ~ContentView() override;

    ScreenModel &model() { return *model_; }
    SpoofController &spoofController() { return *spoof_; }
    DeviceDetector &detector() { return *detector_; }
    PlaceSearch &placeSearch() { return *search_; }
    SavedPlaces &savedPlaces() { return *places_; }
    FixActions &fixActions() { return *fixes_; }
    RouteModel &route() { return *route_; }
    Movement &movement() { return *movement_; }
    RoutePanel &routePanel() { return *routePanel_; }
    Sidebar &sidebar() { return *sidebar_; }
    MapPane &mapPane() { return *mapPane_; }

    // Spoof/Unlock (Ctrl+L, Cmd+L) and Reset (Ctrl+R, Cmd+R), enabled as the buttons are.
    QAction *lockAction() const { return lockAction_; }
    QAction *resetAction() const { return resetAction_; }

    // Takes the choices of the last run from the settings (the closed banner, the sidebar's
    // section and width, the route's pace, repeat, drift, roads and map-follows) and keeps
    // them there from now on. Null: nothing is remembered.
    void useSettings(QSettings *settings);

    // Reads a GPX, KML or GeoJSON file into the route, off the GUI thread, and shows it on the
    // map; a file that cannot be read leaves the route as it was and says why under the route.
    // A route it replaces can be brought back (Undo). routeOpened() tells how it went.
    void openRoute(const QString &path);
    // Writes the route as GPX (".gpx" added to a name without an extension), off the GUI
    // thread; the line under the route confirms it or says why not. routeSaved() tells too.
    void saveRoute(const QString &path);
    // The file the route came from or went to last; empty when none.
    QString routeFilePath() const;
    net::WebClient &webClient() { return *web_; }

    // The disappear handler: the window is closing.
    void stopBackgroundWork();

Q_SIGNALS:
    void routeOpened(bool opened);
    void routeSaved(bool saved);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void render();
    void connectRoute();
    void toggleLock();
    void reset();
    void saveChoices();
    void sidebarDragged();
    // Brings the sidebar's section that holds `page` to the front.
    void showSection(QWidget *page);
    // The sidebar at `width` (0: as wide as its content wants), never narrower than its content
    // needs; the window no smaller than the sidebar and the map need.
    void fitSidebar(int width = 0);

    ScreenModel *model_;
    net::WebClient *web_; // before everything that asks a web service
    DeviceDetector *detector_;
    SpoofController *spoof_;
    FixActions *fixes_;
    DeviceMonitor *monitor_;
    GeolocationLookup *geolocation_;
    PlaceSearch *search_;
    SavedPlaces *places_;
    SetupBanner *banner_;
    DevicePanel *devicePanel_;
    PhonesList *phonesList_;
    CoordinatesPanel *coordinatesPanel_;
    SearchPanel *searchPanel_;
    PlacesPanel *placesPanel_;
    Sidebar *sidebar_;
    MapPane *mapPane_;
    RouteModel *route_;
    Movement *movement_;
    RoutePanel *routePanel_;
    RouteFiles *routeFiles_;
    SidebarSplitter *splitter_;
    QAction *lockAction_;
    QAction *resetAction_;
    QSettings *settings_ = nullptr;
    bool widthChosen_ = false; // the user dragged the sidebar's edge
    bool started_ = false;
};
