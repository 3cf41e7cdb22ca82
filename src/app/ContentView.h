#pragma once

#include "state/AppEnvironment.h"

#include <QWidget>

class CoordinatesPanel;
class DeviceDetector;
class DeviceMonitor;
class DevicePanel;
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
    CoordinatesPanel *coordinatesPanel_;
    SearchPanel *searchPanel_;
    PlacesPanel *placesPanel_;
    Sidebar *sidebar_;
    MapPane *mapPane_;
    RouteModel *route_;
    Movement *movement_;
    RoutePanel *routePanel_;
    RouteFiles *routeFiles_;
    bool started_ = false;
};
