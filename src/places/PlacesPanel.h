#pragma once

#include "coordinates/Coordinates.h"

#include <QWidget>
#include <functional>

class QLabel;
class QTableView;
class QToolButton;
class SavedPlaces;
class ScreenModel;

// "Saved Places": the star saves the pin's place; a click on a place goes there (as a quick
// location does). Double-click or F2 renames, a drag reorders, Delete deletes, Undo (Ctrl+Z or
// the button) brings the last deleted place back. While an import runs, Cancel stops it; while
// the places file cannot be written, "Save Places Elsewhere…" keeps the places in another file.
class PlacesPanel : public QWidget
{
    Q_OBJECT
public:
    // The name a place gets when saved (empty: its coordinates).
    using NameFor = std::function<QString(CLLocationCoordinate2D)>;
    using GoTo = std::function<void(CLLocationCoordinate2D)>;

    PlacesPanel(SavedPlaces &places, ScreenModel &model, NameFor nameFor, GoTo goTo,
                QWidget *parent = nullptr);

    // Follows the saved places and the pin by itself.
    void render();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void saveHere();
    void goToRow(int row);
    void showMenu(const QPoint &at);
    void saveElsewhere();

    SavedPlaces &places_;
    ScreenModel &model_;
    NameFor nameFor_;
    GoTo goTo_;
    QToolButton *star_;
    QTableView *list_;
    class Rows;
    Rows *rows_;
    quint64 shownGeneration_ = ~0ULL;
    quint64 checkedGeneration_ = ~0ULL;
    CLLocationCoordinate2D checkedPin_;
    bool pinListed_ = false;
    QLabel *empty_;
    QLabel *status_;
    QToolButton *undo_;
    QToolButton *action_; // Cancel an import, or Save Places Elsewhere…
};
