#pragma once

#include <QWidget>

class DevicePanel;
class HintRow;
class QLabel;
class QPushButton;
class QTabWidget;
class QVBoxLayout;
struct ScreenState;

// The left column, top to bottom: the title; room for a list of phones; the device box; the
// sections behind their tabs (each scrolls on its own when the window is too short for it);
// the spoofing status and hint lines; the spoof/unlock and reset buttons at the foot.
//
// The buttons sit at the bottom edge and the status and hint lines grow upwards from them, into
// the sections: a line that appears or wraps never moves a button. The width follows the
// content, and nothing is ever cut at the sides: the content's minimum is the sidebar's.
class Sidebar : public QWidget
{
    Q_OBJECT
public:
    explicit Sidebar(DevicePanel *devicePanel, QWidget *parent = nullptr);

    // Adds a section behind a tab of its own, in order; returns its index.
    int addSection(const QString &title, QWidget *page, const QString &tooltip = {});
    QTabWidget *sections() const { return sections_; }
    // A widget right above the device box (the list of phones).
    void addAboveDevice(QWidget *widget);

    QPushButton *lockButton() const { return lockButton_; }
    QPushButton *resetButton() const { return resetButton_; }

    void render(const ScreenState &state);

Q_SIGNALS:
    void toggleLockRequested();
    void resetRequested();
    // The button beside the hint line under the spoofing status.
    void fixRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void applyPalette();

    QWidget *deviceBox_;
    QTabWidget *sections_;
    QPushButton *lockButton_;
    QPushButton *resetButton_;
    QLabel *lockStatus_;
    HintRow *hint_;
    bool lockedLook_ = false;
    bool lookApplied_ = false;
};
