#pragma once

#include <QWidget>

class CoordinatesPanel;
class DevicePanel;
class HintRow;
class QLabel;
class QPushButton;
class QScrollArea;
class QSpacerItem;
class QVBoxLayout;
struct ScreenState;

// The left column: the title; the device box, the coordinates and any further sections, which
// scroll when the window is too short for them; then the two spoofing buttons, the spoofing
// status line and the version footer, always in sight.
class Sidebar : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kWidth = 270;

    Sidebar(DevicePanel *devicePanel, CoordinatesPanel *coordinatesPanel,
            QWidget *parent = nullptr);

    // Appends a section below the coordinates, inside the scrolling part.
    void addSection(QWidget *section);
    // Inserts a section right above one already there.
    void addSectionAbove(QWidget *section, QWidget *below);

    void render(const ScreenState &state);

Q_SIGNALS:
    void toggleLockRequested();
    void resetRequested();
    // The button beside the hint line under the spoofing status.
    void fixRequested();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QScrollArea *scroll_;
    QVBoxLayout *sections_;
    QPushButton *lockButton_;
    QPushButton *resetButton_;
    QLabel *lockStatus_;
    HintRow *hint_;
    QSpacerItem *statusGap_;
    bool statusGapSet_ = false;
    bool lockedLook_ = false;
    bool lookApplied_ = false;
};
