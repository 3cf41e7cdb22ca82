#include "places/PlacesPanel.h"

#include "places/SavedPlaces.h"
#include "state/ScreenModel.h"
#include "widgets/Style.h"
#include "widgets/TextWidgets.h"

#include <QDropEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QShortcut>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kVisibleRows = 6; // more scroll inside the list

// Drops a dragged row itself rather than letting the view move it: the saved places move, and
// the list follows them.
class PlacesList : public QListWidget
{
public:
    using QListWidget::QListWidget;
    std::function<void(int from, int to)> moved;

protected:
    void dropEvent(QDropEvent *event) override
    {
        const QPoint at = event->position().toPoint();
        const QModelIndex target = indexAt(at);
        int insertion = count(); // below the last row: to the end
        if (target.isValid())
            insertion = target.row() + (at.y() > visualRect(target).center().y() ? 1 : 0);
        const int from = currentRow();
        // Not a move for the view, so it removes nothing once the drag ends.
        event->setDropAction(Qt::IgnoreAction);
        event->accept();
        stopAutoScroll();
        setState(NoState);
        viewport()->update(); // the drop indicator goes
        if (from >= 0 && moved)
            moved(from, insertion > from ? insertion - 1 : insertion);
    }
};

QString coordinateText(CLLocationCoordinate2D coordinate)
{
    return coordinates::formatDegrees(coordinate.latitude) + QStringLiteral(", ")
        + coordinates::formatDegrees(coordinate.longitude);
}

} // namespace

PlacesPanel::PlacesPanel(SavedPlaces &places, ScreenModel &model, NameFor nameFor, GoTo goTo,
                         QWidget *parent)
    : QWidget(parent)
    , places_(places)
    , model_(model)
    , nameFor_(std::move(nameFor))
    , goTo_(std::move(goTo))
{
    setObjectName(QStringLiteral("placesPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto *headingRow = new QHBoxLayout;
    auto *heading = new QLabel(QStringLiteral("Saved Places"), this);
    QFont headingFont = style::font(style::TextStyle::Subheadline);
    headingFont.setBold(true);
    heading->setFont(headingFont);
    headingRow->addWidget(heading);
    headingRow->addStretch();
    star_ = new QToolButton(this);
    star_->setObjectName(QStringLiteral("savePlaceButton"));
    star_->setAccessibleName(QStringLiteral("Save the pin's place"));
    star_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    connect(star_, &QToolButton::clicked, this, &PlacesPanel::saveHere);
    headingRow->addWidget(star_);
    layout->addLayout(headingRow);

    auto *list = new PlacesList(this);
    list->moved = [this](int from, int to) { places_.move(from, to); };
    list_ = list;
    list_->setObjectName(QStringLiteral("placesList"));
    list_->setAccessibleName(QStringLiteral("Saved places"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setDragDropMode(QAbstractItemView::InternalMove);
    list_->setDefaultDropAction(Qt::MoveAction);
    list_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    list_->setTextElideMode(Qt::ElideRight);
    list_->setStyleSheet(QStringLiteral("QListWidget::item { padding: 3px 2px; }"));
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->installEventFilter(this);
    layout->addWidget(list_);
    connect(list_, &QListWidget::itemClicked, this,
            [this](QListWidgetItem *item) { goToRow(list_->row(item)); });
    connect(list_, &QListWidget::itemChanged, this,
            [this](QListWidgetItem *item) { places_.rename(list_->row(item), item->text()); });
    connect(list_, &QListWidget::customContextMenuRequested, this, &PlacesPanel::showMenu);

    empty_ = captionLabel(this);
    empty_->setObjectName(QStringLiteral("placesHint"));
    empty_->setText(QStringLiteral("“☆ Save” keeps the pin's place here."));
    layout->addWidget(empty_);

    auto *statusRow = new QHBoxLayout;
    status_ = captionLabel(this);
    status_->setObjectName(QStringLiteral("placesStatus"));
    statusRow->addWidget(status_, 1);
    undo_ = new QToolButton(this);
    undo_->setObjectName(QStringLiteral("undoDeleteButton"));
    undo_->setText(QStringLiteral("Undo"));
    undo_->setAccessibleName(QStringLiteral("Undo the deletion"));
    undo_->setToolTip(QStringLiteral("Bring back the place you deleted (Ctrl+Z)"));
    connect(undo_, &QToolButton::clicked, &places_, &SavedPlaces::undoRemove);
    statusRow->addWidget(undo_, 0, Qt::AlignTop);
    layout->addLayout(statusRow);

    auto *undoKey = new QShortcut(QKeySequence::Undo, this);
    undoKey->setContext(Qt::WidgetWithChildrenShortcut);
    connect(undoKey, &QShortcut::activated, &places_, &SavedPlaces::undoRemove);

    connect(&places_, &SavedPlaces::changed, this, &PlacesPanel::render);
    connect(&model_, &ScreenModel::changed, this, &PlacesPanel::render); // the star follows the pin
    render();
}

void PlacesPanel::render()
{
    const QList<SavedPlace> &places = places_.places();
    // Rebuilt only when the places differ from the rows, so a drag or an edit keeps its row.
    bool same = list_->count() == places.size();
    for (int row = 0; same && row < list_->count(); ++row) {
        const QListWidgetItem *item = list_->item(row);
        same = item->text() == places[row].name
            && item->toolTip() == coordinateText(places[row].coordinate);
    }
    if (!same) {
        const QSignalBlocker quiet(list_);
        const int current = list_->currentRow();
        list_->clear();
        for (const SavedPlace &place : places) {
            auto *item = new QListWidgetItem(place.name);
            item->setToolTip(coordinateText(place.coordinate));
            item->setFlags(item->flags() | Qt::ItemIsEditable | Qt::ItemIsDragEnabled);
            list_->addItem(item);
        }
        if (current >= 0 && current < list_->count())
            list_->setCurrentRow(current);
    }
    const int rows = std::clamp(static_cast<int>(places.size()), 1, kVisibleRows);
    list_->setFixedHeight(rows * std::max(list_->sizeHintForRow(0), fontMetrics().height() + 4)
                          + 2 * list_->frameWidth());
    list_->setVisible(!places.isEmpty());
    empty_->setVisible(places.isEmpty());

    const bool saved = places_.contains(model_.state().pinCoordinate);
    star_->setText(saved ? QStringLiteral("★ Saved") : QStringLiteral("☆ Save"));
    star_->setEnabled(!saved);
    star_->setToolTip(saved ? QStringLiteral("The pin's place is saved")
                            : QStringLiteral("Save the pin's place"));

    status_->setText(places_.statusLine());
    status_->setVisible(!places_.statusLine().isEmpty());
    undo_->setVisible(places_.canUndo());
}

void PlacesPanel::saveHere()
{
    const CLLocationCoordinate2D pin = model_.state().pinCoordinate;
    QString name = nameFor_ ? nameFor_(pin) : QString();
    if (name.isEmpty())
        name = places::defaultName(pin);
    places_.add({name, pin});
}

void PlacesPanel::goToRow(int row)
{
    if (row >= 0 && row < places_.places().size() && goTo_)
        goTo_(places_.places()[row].coordinate);
}

void PlacesPanel::showMenu(const QPoint &at)
{
    QListWidgetItem *item = list_->itemAt(at);
    if (!item)
        return;
    const int row = list_->row(item);
    QMenu menu(this);
    menu.addAction(QStringLiteral("Go There"), this, [this, row] { goToRow(row); });
    menu.addAction(QStringLiteral("Rename"), this, [this, item] { list_->editItem(item); });
    menu.addAction(QStringLiteral("Delete"), this, [this, row] { places_.remove(row); });
    menu.exec(list_->viewport()->mapToGlobal(at));
}

bool PlacesPanel::eventFilter(QObject *watched, QEvent *event)
{
    // While a name is edited, the keys go to the editor, not here.
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Delete || key == Qt::Key_Backspace) {
            places_.remove(list_->currentRow());
            return true;
        }
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            goToRow(list_->currentRow());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
