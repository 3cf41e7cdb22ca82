#pragma once

#include <QWidget>

class HintRow;
class LineLimitedLabel;
class QLabel;
class QPushButton;
class ValueField;
struct ScreenState;

// The device box of the sidebar: status picture and line, the iOS line, the serial number and
// UDID rows, and the "Detect Device" button. It only shows screen state.
class DevicePanel : public QWidget
{
    Q_OBJECT
public:
    explicit DevicePanel(QWidget *parent = nullptr);

    void render(const ScreenState &state);

    // Wide enough for the serial number and UDID rows even before they show, so that the
    // sidebar keeps its width when a device is detected.
    QSize sizeHint() const override;

Q_SIGNALS:
    void detectRequested();
    // The button beside the hint line.
    void fixRequested();

private:
    QLabel *picture_;
    QString pictureName_;
    LineLimitedLabel *status_;
    HintRow *hint_;
    QLabel *versionLine_;
    QWidget *identityRows_;
    ValueField *serial_;
    ValueField *udid_;
    QPushButton *detectButton_;
};
