#pragma once

#include <QWidget>

class CoordinatesPanel;
class DevicePanel;
class QLabel;
class QPushButton;
class QSpacerItem;
struct ScreenState;

// The left column: title, device box, coordinates, the two spoofing buttons, the spoofing
// status line and the version footer.
class Sidebar : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kWidth = 270;

    Sidebar(DevicePanel *devicePanel, CoordinatesPanel *coordinatesPanel,
            QWidget *parent = nullptr);

    void render(const ScreenState &state);

Q_SIGNALS:
    void toggleLockRequested();
    void resetRequested();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPushButton *lockButton_;
    QPushButton *resetButton_;
    QLabel *lockStatus_;
    QSpacerItem *statusGap_;
    bool statusGapSet_ = false;
    bool lockedLook_ = false;
    bool lookApplied_ = false;
};
