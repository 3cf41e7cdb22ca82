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
class PlaceSearch;
class PlacesPanel;
class SavedPlaces;
class ScreenModel;
class SearchPanel;
class SetupBanner;
class Sidebar;
class SpoofController;

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

    // The disappear handler: the window is closing.
    void stopBackgroundWork();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void render();

    ScreenModel *model_;
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
    bool started_ = false;
};
