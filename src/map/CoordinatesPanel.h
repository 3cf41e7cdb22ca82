#pragma once

#include "coordinates/Coordinates.h"

#include <QWidget>
#include <array>
#include <functional>

class QLineEdit;
class QPushButton;
class ScreenModel;

// Moves a held simulated location (the spoof controller's move), with its recenter flag.
using MoveHeldLocation = std::function<void(bool recenter, CLLocationCoordinate2D coordinate)>;

struct QuickLocation
{
    QString title;
    CLLocationCoordinate2D coordinate;
};

inline const std::array<QuickLocation, 3> kQuickLocations {{
    {QStringLiteral("🗽 NYC"), {40.689247, -74.044502}},
    {QStringLiteral("🎡 London"), {51.500729, -0.124625}},
    {QStringLiteral("🗼 Tokyo"), {35.658584, 139.745438}},
}};

namespace coordinates {

// "Go" and Return: the typed point, or the validation message. While a location is held the
// point goes to `move`; otherwise the pin and camera go there and the typed text stays.
void submitCoordinates(ScreenModel &model, const MoveHeldLocation &move);
// A quick location: moves the held location, or places the pin there.
void selectPoint(ScreenModel &model, const MoveHeldLocation &move,
                 CLLocationCoordinate2D coordinate);

} // namespace coordinates

// The coordinate fields, "Go" and the quick locations.
class CoordinatesPanel : public QWidget
{
    Q_OBJECT
public:
    CoordinatesPanel(ScreenModel &model, MoveHeldLocation move, QWidget *parent = nullptr);

    void render();

private:
    ScreenModel &model_;
    MoveHeldLocation move_;
    QLineEdit *latitude_;
    QLineEdit *longitude_;
};
