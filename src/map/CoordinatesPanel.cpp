#include "map/CoordinatesPanel.h"

#include "state/PinPlacement.h"
#include "state/ScreenModel.h"
#include "widgets/Style.h"

#include <QFormLayout>
#include <QGridLayout>
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
    layout->setSpacing(8);

    auto *heading = new QLabel(QStringLiteral("Coordinates"), this);
    QFont headingFont = style::font(style::TextStyle::Subheadline);
    headingFont.setBold(true);
    heading->setFont(headingFont);
    layout->addWidget(heading);

    auto *form = new QFormLayout;
    form->setContentsMargins(0, 0, 0, 0);
    form->setVerticalSpacing(8);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    latitude_ = coordinateField(QStringLiteral("Latitude"), QStringLiteral("latitudeField"), this);
    longitude_ =
        coordinateField(QStringLiteral("Longitude"), QStringLiteral("longitudeField"), this);
    form->addRow(QStringLiteral("Lat"), latitude_);
    form->addRow(QStringLiteral("Lon"), longitude_);
    layout->addLayout(form);

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
    connect(go, &QPushButton::clicked, this, submit);
    auto *goRow = new QHBoxLayout;
    goRow->addStretch();
    goRow->addWidget(go);
    goRow->addStretch();
    layout->addLayout(goRow);

    auto *quickCaption = new QLabel(QStringLiteral("Quick Locations"), this);
    quickCaption->setFont(style::font(style::TextStyle::Caption));
    QPalette dim = quickCaption->palette();
    dim.setColor(QPalette::WindowText, style::secondaryText(quickCaption));
    quickCaption->setPalette(dim);
    quickCaption->setContentsMargins(0, 2, 0, 0);
    layout->addWidget(quickCaption);

    auto *grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(6);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnMinimumWidth(0, 10);
    grid->setColumnMinimumWidth(1, 10);
    for (int i = 0; i < static_cast<int>(kQuickLocations.size()); ++i) {
        const QuickLocation &place = kQuickLocations[static_cast<size_t>(i)];
        auto *button = new QPushButton(place.title, this);
        button->setObjectName(QStringLiteral("quickLocation%1").arg(i));
        button->setAccessibleName(place.title.section(u' ', 1));
        button->setFont(style::font(style::TextStyle::Caption));
        connect(button, &QPushButton::clicked, this,
                [this, place] { coordinates::selectPoint(model_, move_, place.coordinate); });
        grid->addWidget(button, i / 2, i % 2, Qt::AlignCenter);
    }
    layout->addLayout(grid);
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
