#include "map/CoordinatesPanel.h"

#include "state/PinPlacement.h"
#include "state/ScreenModel.h"
#include "widgets/Style.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace coordinates {

void submitCoordinates(ScreenModel &model, const MoveHeldLocation &move)
{
    const std::optional<CLLocationCoordinate2D> point = readCoordinateFields(model.state());
    if (!point) {
        model.update([](ScreenState &s) { s.lockStatusText = kInvalidCoordinatesMessage; });
        return;
    }
    if (model.state().isLocationLocked) {
        move(true, *point);
        return;
    }
    model.update([&point](ScreenState &s) {
        s.pinCoordinate = *point;
        s.cameraPosition = MapCameraPosition::fromRegion(pinRegion(*point));
    });
}

void selectPoint(ScreenModel &model, const MoveHeldLocation &move,
                 CLLocationCoordinate2D coordinate)
{
    if (model.state().isLocationLocked)
        move(true, coordinate);
    else
        placePin(model, true, coordinate);
}

} // namespace coordinates

namespace {

QLineEdit *coordinateField(const QString &placeholder, const QString &name, QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(placeholder);
    field->setClearButtonEnabled(false);
    return field;
}

} // namespace

CoordinatesPanel::CoordinatesPanel(ScreenModel &model, MoveHeldLocation move, QWidget *parent)
    : QWidget(parent)
    , model_(model)
    , move_(std::move(move))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    // Lat and Lon one above the other, Go beside the two.
    auto *grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(6);
    latitude_ = coordinateField(QStringLiteral("Latitude"), QStringLiteral("latitudeField"), this);
    longitude_ =
        coordinateField(QStringLiteral("Longitude"), QStringLiteral("longitudeField"), this);
    auto *latLabel = new QLabel(QStringLiteral("Lat"), this);
    latLabel->setBuddy(latitude_);
    auto *lonLabel = new QLabel(QStringLiteral("Lon"), this);
    lonLabel->setBuddy(longitude_);
    grid->addWidget(latLabel, 0, 0);
    grid->addWidget(latitude_, 0, 1);
    grid->addWidget(lonLabel, 1, 0);
    grid->addWidget(longitude_, 1, 1);
    grid->setColumnStretch(1, 1);

    connect(latitude_, &QLineEdit::textEdited, this, [this](const QString &text) {
        model_.update([&text](ScreenState &s) { s.latitudeText = text; });
    });
    connect(longitude_, &QLineEdit::textEdited, this, [this](const QString &text) {
        model_.update([&text](ScreenState &s) { s.longitudeText = text; });
    });
    const auto submit = [this] { coordinates::submitCoordinates(model_, move_); };
    connect(latitude_, &QLineEdit::returnPressed, this, submit);
    connect(longitude_, &QLineEdit::returnPressed, this, submit);

    auto *go = new QPushButton(QStringLiteral("Go"), this);
    go->setObjectName(QStringLiteral("goButton"));
    go->setAccessibleName(QStringLiteral("Go to the typed coordinates"));
    go->setToolTip(QStringLiteral("Go to the typed latitude and longitude (Return)"));
    connect(go, &QPushButton::clicked, this, submit);
    grid->addWidget(go, 0, 2, 2, 1, Qt::AlignVCenter);
    layout->addLayout(grid);

    // The quick locations, one row: each says where it goes.
    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    for (int i = 0; i < static_cast<int>(kQuickLocations.size()); ++i) {
        const QuickLocation &place = kQuickLocations[static_cast<size_t>(i)];
        auto *button = new QPushButton(place.title, this);
        button->setObjectName(QStringLiteral("quickLocation%1").arg(i));
        button->setAccessibleName(place.title.section(u' ', 1));
        button->setToolTip(
            QStringLiteral("Quick location: go to %1").arg(place.title.section(u' ', 1)));
        button->setFont(style::font(style::TextStyle::Caption));
        connect(button, &QPushButton::clicked, this,
                [this, place] { coordinates::selectPoint(model_, move_, place.coordinate); });
        row->addWidget(button, 1);
    }
    layout->addLayout(row);
    render();
}

void CoordinatesPanel::render()
{
    // Only rewrite a field when the model differs, so typing keeps its cursor.
    const ScreenState &s = model_.state();
    if (latitude_->text() != s.latitudeText)
        latitude_->setText(s.latitudeText);
    if (longitude_->text() != s.longitudeText)
        longitude_->setText(s.longitudeText);
}
