#pragma once

#include <QObject>

class ScreenModel;

// Everything the user does with a simulated location: spoof, move, unlock, and the end of a
// held location when the device goes away. Lives on the GUI thread beside the ScreenModel.
class SpoofController : public QObject
{
    Q_OBJECT
public:
    explicit SpoofController(ScreenModel &model, QObject *parent = nullptr);

    // The device went away: a held location ends, its process is terminated, no tool runs.
    void endSpoofOnDisconnect();

private:
    ScreenModel &model_;
};
