#include "places/PlacesPanel.h"

#include "places/SavedPlaces.h"
#include "state/ScreenModel.h"
#include "widgets/Style.h"
#include "widgets/TextWidgets.h"

#include <QAbstractListModel>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QHeaderView>
#include <QMenu>
#include <QShortcut>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kVisibleRows = 6; // more scroll inside the list

QString coordinateText(CLLocationCoordinate2D coordinate)
{
    return coordinates::formatDegrees(coordinate.latitude) + QStringLiteral(", ")
        + coordinates::formatDegrees(coordinate.longitude);
}

// One column of names. A table rather than a list view: a list view lays out every row when
// its rows change (a million places: tens of milliseconds on the GUI thread), a table with rows
// of one fixed height lays out none.
// It drops a dragged row itself rather than letting the view move it: the saved places move,
// and the list follows them.
class PlacesList : public QTableView
{
public:
    explicit PlacesList(QWidget *parent)
        : QTableView(parent)
    {
        horizontalHeader()->hide();
        horizontalHeader()->setStretchLastSection(true);
        verticalHeader()->hide();
        verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        setShowGrid(false);
        setWordWrap(false);
        setCornerButtonEnabled(false);
        setTabKeyNavigation(false); // Tab leaves the list, as from any list
        setSelectionBehavior(QAbstractItemView::SelectRows);
        fitRowsToFont();
    }

    std::function<void(int from, int to)> moved;

protected:
    void changeEvent(QEvent *event) override
    {
        QTableView::changeEvent(event);
        if (event->type() == QEvent::FontChange)
            fitRowsToFont();
    }

    void dropEvent(QDropEvent *event) override
    {
        const QPoint at = event->position().toPoint();
        const QModelIndex target = indexAt(at);
        int insertion = model()->rowCount(); // below the last row: to the end
        if (target.isValid())
            insertion = target.row() + (at.y() > visualRect(target).center().y() ? 1 : 0);
        const int from = currentIndex().row();
        // Not a move for the view, so it removes nothing once the drag ends.
        event->setDropAction(Qt::IgnoreAction);
        event->accept();
        stopAutoScroll();
        setState(NoState);
        viewport()->update(); // the drop indicator goes
        if (from < 0 || !moved)
            return;
        const int to = insertion > from ? insertion - 1 : insertion;
        moved(from, to);
        setCurrentIndex(model()->index(to, 0)); // the place dragged stays the current one
    }

private:
    void fitRowsToFont() { verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6); }
};

} // namespace

// The saved places as rows, read where they are: a million places cost the rows on screen.
class PlacesPanel::Rows : public QAbstractListModel
{
public:
    Rows(SavedPlaces &places, QObject *parent)
        : QAbstractListModel(parent)
        , places_(places)
    {
    }

    void reset()
    {
        const int total = static_cast<int>(places_.places().size());
        beginResetModel();
        // A view sizes every row it is told of, so a long list arriving (the places read at
        // start) comes in batches between events; a list already shown changes at once.
        count_ = count_ == 0 ? std::min(total, kRowsAtOnce) : total;
        endResetModel();
        if (count_ < total)
            QTimer::singleShot(0, this, &Rows::grow);
    }

    // As of the last reset: a view is told of a change by the reset, not before.
    int rowCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : count_; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= places_.places().size())
            return {};
        const SavedPlace &place = places_.places()[index.row()];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
        case Qt::AccessibleTextRole:
            return place.name;
        case Qt::ToolTipRole:
            return coordinateText(place.coordinate);
        default:
            return {};
        }
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        if (role != Qt::EditRole || !index.isValid())
            return false;
        // Once the editor has closed: the rows are rebuilt after a change.
        QMetaObject::invokeMethod(
            this, [this, row = index.row(), name = value.toString()] { places_.rename(row, name); },
            Qt::QueuedConnection);
        return true;
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        if (!index.isValid())
            return Qt::ItemIsDropEnabled;
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable
            | Qt::ItemIsDragEnabled;
    }

    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }

private:
    static constexpr int kRowsAtOnce = 50000;

    void grow()
    {
        const int total = static_cast<int>(places_.places().size());
        if (count_ == 0 || count_ >= total)
            return; // reset meanwhile
        const int more = std::min(total, count_ + kRowsAtOnce);
        beginInsertRows(QModelIndex(), count_, more - 1);
        count_ = more;
        endInsertRows();
        if (count_ < total)
            QTimer::singleShot(0, this, &Rows::grow);
    }

    SavedPlaces &places_;
    int count_ = 0;
};

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
    rows_ = new Rows(places_, this);
    list_->setModel(rows_);
    list_->setObjectName(QStringLiteral("placesList"));
    list_->setAccessibleName(QStringLiteral("Saved places"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setDragDropMode(QAbstractItemView::InternalMove);
    list_->setDefaultDropAction(Qt::MoveAction);
    list_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    list_->setTextElideMode(Qt::ElideRight);
    list_->setStyleSheet(QStringLiteral("QTableView::item { padding: 0px 2px; }"));
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->installEventFilter(this);
    layout->addWidget(list_);
    connect(list_, &QAbstractItemView::clicked, this,
            [this](const QModelIndex &index) { goToRow(index.row()); });
    connect(list_, &QWidget::customContextMenuRequested, this, &PlacesPanel::showMenu);

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
    action_ = new QToolButton(this);
    action_->setObjectName(QStringLiteral("placesActionButton"));
    connect(action_, &QToolButton::clicked, this, [this] {
        if (places_.isImporting())
            places_.cancelImport();
        else
            saveElsewhere();
    });
    statusRow->addWidget(action_, 0, Qt::AlignTop);
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
    // The rows are rebuilt only when the list changed, so an edit keeps its row.
    if (shownGeneration_ != places_.generation()) {
        shownGeneration_ = places_.generation();
        // Shown before its rows come: a long list is then laid out in batches, not on show.
        if (!places.isEmpty())
            list_->setVisible(true);
        const int current = list_->currentIndex().row();
        rows_->reset();
        if (current >= 0 && current < rows_->rowCount(QModelIndex()))
            list_->setCurrentIndex(rows_->index(current));
    }
    const int rows = std::clamp(static_cast<int>(places.size()), 1, kVisibleRows);
    list_->setFixedHeight(rows * list_->verticalHeader()->defaultSectionSize()
                          + 2 * list_->frameWidth());
    list_->setVisible(!places.isEmpty());
    empty_->setVisible(places.isEmpty());
    empty_->setText(places_.isLoaded() ? QStringLiteral("“☆ Save” keeps the pin's place here.")
                                       : QStringLiteral("Reading saved places…"));

    // "Saved" only once it is in the file.
    // Looked up only when the pin or the list changed: the window renders at every poll, and a
    // long list takes a while to go through.
    const CLLocationCoordinate2D pin = model_.state().pinCoordinate;
    if (checkedGeneration_ != places_.generation() || !(checkedPin_ == pin)) {
        checkedGeneration_ = places_.generation();
        checkedPin_ = pin;
        pinListed_ = places_.contains(pin);
    }
    const bool listed = pinListed_;
    star_->setEnabled(!listed);
    if (!listed) {
        star_->setText(QStringLiteral("☆ Save"));
        star_->setToolTip(QStringLiteral("Save the pin's place"));
    } else if (places_.isSaved()) {
        star_->setText(QStringLiteral("★ Saved"));
        star_->setToolTip(QStringLiteral("The pin's place is saved"));
    } else if (places_.hasStorageProblem()) {
        star_->setText(QStringLiteral("★ Not saved"));
        star_->setToolTip(QStringLiteral("The pin's place is in the list until PinDrift closes: "
                                         "the places file cannot be written"));
    } else {
        star_->setText(QStringLiteral("★ Saving…"));
        star_->setToolTip(QStringLiteral("The pin's place is being saved"));
    }

    status_->setText(places_.statusLine());
    status_->setVisible(!places_.statusLine().isEmpty());
    undo_->setVisible(places_.canUndo());
    if (places_.isImporting()) {
        action_->setText(QStringLiteral("Cancel"));
        action_->setAccessibleName(QStringLiteral("Cancel the import"));
        action_->setToolTip(action_->accessibleName());
    } else {
        action_->setText(QStringLiteral("Save Places Elsewhere…"));
        action_->setAccessibleName(QStringLiteral("Save places elsewhere"));
        action_->setToolTip(QStringLiteral("Keep the saved places in another file"));
    }
    action_->setVisible(places_.isImporting() || places_.hasStorageProblem());
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

void PlacesPanel::saveElsewhere()
{
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save Places Elsewhere"),
                                     QDir::home().filePath(QStringLiteral("places.json")),
                                     QStringLiteral("Saved places (*.json);;All files (*)"));
    if (!path.isEmpty())
        places_.saveElsewhere(path);
}

void PlacesPanel::showMenu(const QPoint &at)
{
    const QModelIndex index = list_->indexAt(at);
    if (!index.isValid())
        return;
    const int row = index.row();
    QMenu menu(this);
    menu.addAction(QStringLiteral("Go There"), this, [this, row] { goToRow(row); });
    menu.addAction(QStringLiteral("Rename"), this, [this, index] { list_->edit(index); });
    menu.addAction(QStringLiteral("Delete"), this, [this, row] { places_.remove(row); });
    menu.exec(list_->viewport()->mapToGlobal(at));
}

bool PlacesPanel::eventFilter(QObject *watched, QEvent *event)
{
    // While a name is edited, the keys go to the editor, not here (a Return it leaves comes
    // here too).
    if (watched == list_ && event->type() == QEvent::KeyPress && list_->hasFocus()) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Delete || key == Qt::Key_Backspace) {
            places_.remove(list_->currentIndex().row());
            return true;
        }
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            goToRow(list_->currentIndex().row());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
