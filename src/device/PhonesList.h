#pragma once

#include <QListWidget>
#include <QString>

class ScreenModel;
class SpoofController;
struct DeviceSession;

// The phones plugged in, one row each: its colour, name, model, iOS version and what it is
// doing. The rows selected are those Spoof, Unlock, the map and the route act on; the current
// row is the phone the device panel shows. It shows itself once a second phone is plugged in:
// with one, the device panel says all there is. Its context menu chooses, per phone of iOS 17
// or later, which tool reaches it when both are there.
class PhonesList : public QListWidget
{
    Q_OBJECT
public:
    PhonesList(ScreenModel &model, SpoofController &spoof, QWidget *parent = nullptr);

    // The second line of a row: iOS version and state ("idle", "held at …", "moving",
    // "failed ⚠️", …); the first holds the name and the model.
    static QString detailText(const DeviceSession &phone);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void render();
    void selectionToModel();
    int rowsHeight() const;

    ScreenModel &model_;
    SpoofController &spoof_;
    bool syncing_ = false; // the list follows the model: its signals are not the user's
};
