#pragma once

#include "TestSupport.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "device/DeviceDetection.h"
#include "device/DeviceMonitor.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"

#include <QSettings>
#include <QTest>
#include <functional>

// The screen without its widgets: the model with detection, spoofing and the attachment monitor,
// wired as the window wires them.
struct Screen
{
    explicit Screen(const AppEnvironment &environment)
        : model(environment)
        , detector(model)
        , spoof(model)
        , monitor(model, detector, spoof)
    {
    }
    // As the window's disappear handler: a held location ends with the screen, even when a
    // test fails half-way.
    ~Screen() { model.stopBackgroundWork(); }
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    const ScreenState &state() const { return model.state(); }

    // The start-up sequence, then waits until the monitor has seen the kit's device and its
    // detection has filled the device fields.
    bool bringUp(int timeoutMs);
    // Stops the attachment timer and waits for a poll in flight and for background work, so
    // nothing starts by itself afterwards.
    bool quiet(int timeoutMs);
    // Spoofs the coordinate in the fields and waits until it is held.
    bool hold(int timeoutMs);

    ScreenModel model;
    DeviceDetector detector;
    SpoofController spoof;
    DeviceMonitor monitor;
};

// The status line of a held location.
QString heldText(CLLocationCoordinate2D coordinate);

template<typename T = QWidget>
T *find(const QObject *root, const char *name)
{
    return root->findChild<T *>(QString::fromLatin1(name));
}

// The main window over a simulated device, shown offscreen and exposed, with a settings file of
// its own; its password prompt is a plain shell.
struct ShownWindow
{
    ShownWindow(const SimDeviceKit &kit, const QString &settingsFile,
                const std::function<void(AppEnvironment &)> &adjust = {})
        : settings(settingsFile, QSettings::IniFormat)
        , window(environment(kit, adjust), &settings)
    {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    ~ShownWindow() { window.close(); }
    static AppEnvironment environment(const SimDeviceKit &kit,
                                      const std::function<void(AppEnvironment &)> &adjust)
    {
        AppEnvironment environment = kit.environment();
        environment.adminPromptCommand = {QStringLiteral("/bin/sh")};
        if (adjust)
            adjust(environment);
        return environment;
    }

    ScreenModel &model() { return window.contentView()->model(); }
    const ScreenState &state() { return model().state(); }
    template<typename T = QWidget>
    T *find(const char *name)
    {
        return ::find<T>(&window, name);
    }

    QSettings settings;
    MainWindow window;
};
