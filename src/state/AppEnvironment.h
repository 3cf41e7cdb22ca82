#pragma once

#include "tools/GoIos.h"
#include "tools/ToolLocator.h"
#include "tools/ToolRunner.h"

#include <QByteArray>
#include <QStringList>
#include <QUrl>
#include <chrono>

class QSettings;

// The program's own waits. Tests shorten them; the shipped program uses these values.
struct Timings
{
    using ms = std::chrono::milliseconds;
    ms monitorInterval {2000}; // attachment poll
    ms notFoundPause {3000}; // "Not detecting any devices!" stays this long
    ms simulateWait {2500}; // pymobiledevice3 set must still run after this
    ms setLocationWait {1000}; // idevicesetlocation must still run after this
    ms tunnelWindow {15000}; // tunnel daemon must answer within this after the prompt
    ms tunnelProbePause {500};
    ms probeRequestTimeout {2000};
    ms probeWait {3000};
    ms toolDeadline {ToolRunner::defaultDeadline};
    ms startupShellDeadline {5000}; // the one blocking call on the GUI thread
    ms terminateGrace {3000}; // a child that ignores SIGTERM is killed after this
    ms searchTimeout {10000}; // a place search gives up after this
    ms searchInterval {1000}; // the geocoding service is asked at most once in this time
    ms routingTimeout {15000}; // a road route request gives up after this
    ms routingInterval {1000}; // the routing service is asked at most once in this time
    ms fixDeadline {600000}; // a fix (the image download) is stopped after this
    ms movementStep {1000}; // a moving location tells the device where it is this often
    ms stepSettle {400}; // a step's set command that still runs after this holds the location
    double movementTimeScale = 1.0; // route seconds per second of playback (tests, the demo)
};

// Everything the program takes from outside, in one value. The shipped program uses
// `AppEnvironment{}`; tests and the demo construct it with other values. Copies are cheap and
// safe to hand to background work.
struct AppEnvironment
{
    ToolLocator tools; // default: the application's "tool_extras" folder
    QString tunnelHost = QStringLiteral("127.0.0.1");
    quint16 tunnelPort = 49151;
    QStringList adminPromptCommand; // empty: the platform's own prompt
    QString temporaryFolder; // empty: the platform's per-user folder
    QUrl geolocationUrl {QStringLiteral("https://ipapi.co/json/")};
    QString tileUrlTemplate = QStringLiteral("https://tile.openstreetmap.org/{z}/{x}/{y}.png");
    QString tileCacheFolder; // empty: the user's cache folder
    // A Nominatim-compatible geocoding service: requests go to <geocodingUrl>/search.
    QUrl geocodingUrl {QStringLiteral("https://nominatim.openstreetmap.org")};
    // An OSRM-compatible routing service: requests go to <routingUrl>/route/v1/<profile>/….
    QUrl routingUrl {QStringLiteral("https://router.project-osrm.org")};
    QString dataFolder; // empty: the user's data folder (saved places, go-ios's state)
    QString shell; // empty: the platform's shell
    // go-ios's tunnel agent ("Services/GoIosAgentHost", "Services/GoIosAgentPort").
    QString goIosAgentHost = QStringLiteral("127.0.0.1");
    quint16 goIosAgentPort = 28100;
    QString usbmuxdSocket = QStringLiteral("/var/run/usbmuxd");
    QString usbDevicesFolder = QStringLiteral("/sys/bus/usb/devices"); // Linux's USB device list
    bool searchSystemPath = true; // pymobiledevice3 may also come from the PATH
    Timings timings;

    // The web services the user chose in the settings, under "Services/": keys that are unset
    // or empty keep the values above.
    void readServiceSettings(const QSettings &settings);

    // What every web request says it comes from: "PinDrift/1.0 (Qt 6.4.2)".
    static QByteArray userAgent();
    // A web service's endpoint: `path` below the service's base URL, whatever its last slash.
    static QUrl serviceEndpoint(const QUrl &base, const QString &path);

    ToolRunner toolRunner() const
    {
        return ToolRunner(tools, timings.toolDeadline, childEnvironment());
    }
    // What every device tool we start gets on top of our environment: go-ios's commands find
    // our agent by its port (go-ios's own default is another one), and pymobiledevice3 prints
    // its lines as it goes instead of holding them in a buffer while it runs.
    QStringList childEnvironment() const;
    QString shellPath() const;
    QString temporaryFolderPath() const;
    // Where the records of our location processes lie while they run, so that a start after a
    // crash can end what the crashed run left holding the phone.
    QString holderRecordFolder() const
    {
        return temporaryFolderPath() + QStringLiteral("pindrift-holders");
    }
    QString dataFolderPath() const;
    // A folder of ours under the data folder, made when missing.
    QString dataSubfolder(const QString &name) const;
    goios::Agent goIosAgent() const { return {goIosAgentHost, goIosAgentPort}; }
    // The iOS 17+ tool pymobiledevice3: the tool folder's, else (when allowed) the PATH's.
    std::optional<QString> pymobiledevice3() const;
};
