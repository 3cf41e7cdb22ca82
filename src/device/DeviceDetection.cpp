#include "device/DeviceDetection.h"

#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "state/ScreenModel.h"
#include "tools/DeviceTools.h"

#include <QFileInfo>
#include <thread>

namespace detection {

void apply(DeviceSession &s, const DetectionUpdate &update)
{
    switch (update.kind) {
    case DetectionUpdate::Checking:
        s.deviceHint = {};
        s.detecting = true;
        s.detected = false;
        s.udidValue.clear();
        s.statusIMGText = QStringLiteral("iphone16_halfload");
        s.statusLabelText = QStringLiteral("Checking devices...");
        s.iosVersion.clear();
        s.serial.clear();
        s.productType.clear();
        s.name.clear();
        break;
    case DetectionUpdate::ToolMissing:
        s.statusLabelText = QStringLiteral("Error: ideviceinfo missing from app bundle!");
        s.statusIMGText = QStringLiteral("iphone16");
        s.detecting = false;
        break;
    case DetectionUpdate::Connected:
        s.statusLabelText = QStringLiteral("iOS Device Connected!");
        s.statusIMGText = QStringLiteral("iphone16hello");
        break;
    case DetectionUpdate::Value:
        switch (update.row) {
        case devicetools::ProductVersion:
            s.iosVersion = update.value;
            break;
        case devicetools::SerialNumber:
            s.serial = update.value;
            break;
        case devicetools::ProductType:
            s.productType = update.value;
            break;
        case devicetools::DeviceName:
            s.name = update.value;
            break;
        case devicetools::UniqueDeviceID:
            s.udidValue = update.value; // shown; the session goes by the listed UDID
            break;
        default:
            break;
        }
        break;
    case DetectionUpdate::Finished:
        s.detecting = false;
        s.detected = true;
        break;
    case DetectionUpdate::NotFound:
        s.statusLabelText = QStringLiteral("Not detecting any devices!");
        s.statusIMGText = QStringLiteral("iphone16");
        s.deviceHint = {update.cause, update.fix, false, QString(), update.words};
        s.iosVersion.clear();
        s.serial.clear();
        s.productType.clear();
        s.udidValue.clear();
        break;
    case DetectionUpdate::ConnectPrompt:
        s.statusLabelText = QStringLiteral("Connect iOS Device in normal mode");
        s.detecting = false;
        s.detected = false;
        break;
    }
}

void apply(ScreenState &s, const DetectionUpdate &update)
{
    // The panel's fields, read as the session of a phone not listed, take the same step.
    DeviceSession phone;
    phone.readFrom(s);
    phone.detecting = s.disabledDetectButtonSafety;
    phone.detected = !s.disabledLockButton;
    apply(phone, update);
    phone.showIn(s);
    s.disabledDetectButtonSafety = phone.detecting;
    s.disabledLockButton = phone.detecting || !phone.detected;
}

void readDeviceDetails(const ToolRunner &runner,
                       const std::function<void(const DetectionUpdate &)> &post,
                       const QString &udid)
{
    for (int row = 0; row < devicetools::DetailRowCount; ++row) {
        const devicetools::DeviceDetail &detail = devicetools::kDeviceDetails[row];
        const std::optional<QString> value = devicetools::valueOf(runner.runTool(
            devicetools::kIdeviceinfo, devicetools::deviceValueArguments(detail.key, udid)));
        // The name is for the list of phones; the console keeps the four facts it always had.
        const bool quiet = row == devicetools::DeviceName;
        if (!value) {
            if (!quiet)
                consoleLine(QStringLiteral("Error getting ") + detail.label);
            continue;
        }
        if (!quiet)
            consoleLine(detail.label + u' ' + *value);
        post({DetectionUpdate::Value, row, *value});
    }
}

failure::Finding notFoundCause(const AppEnvironment &environment, const ToolRunResult &info)
{
    const QString output = info.output.value_or(QString()).trimmed();
    const failure::Finding finding = failure::recognise(output.split(u'\n'));
    if (finding.cause != failure::Cause::None) {
        consoleLine(output); // the tool's own words
        return finding;
    }
#ifdef Q_OS_LINUX
    if (!environment.usbmuxdSocket.isEmpty() && !QFileInfo::exists(environment.usbmuxdSocket)) {
        // udev starts usbmuxd only while an Apple device is plugged in.
        if (!platform::appleDeviceOnUsb(environment.usbDevicesFolder)) {
            consoleLine(QStringLiteral("No Apple device is plugged in (nothing from vendor 05ac "
                                       "in ")
                        + environment.usbDevicesFolder + QLatin1Char(')'));
            return {};
        }
        consoleLine(QStringLiteral("⚠️ usbmuxd is not running (no ") + environment.usbmuxdSocket
                    + QStringLiteral(") although an Apple device is plugged in"));
        return {failure::Cause::NoUsbmuxd, QString()};
    }
#else
    Q_UNUSED(environment);
#endif
    return {};
}

void detectDevice(const AppEnvironment &environment,
                  const std::function<void(const DetectionUpdate &)> &post, const QString &udid)
{
    post({DetectionUpdate::Checking});
    consoleLine(QStringLiteral("🔍 Checking for connected iOS devices..."));

    const ToolRunner runner = environment.toolRunner();
    if (!runner.locator().resolveTool(devicetools::kIdeviceinfo)) {
        consoleLine(QStringLiteral("❌ ERROR: ideviceinfo missing from app bundle"));
        post({DetectionUpdate::ToolMissing});
        return;
    }

    const ToolRunResult info =
        runner.runTool(devicetools::kIdeviceinfo, devicetools::deviceInfoArguments(udid));
    if (devicetools::deviceAnswered(info)) {
        consoleLine(QStringLiteral("✓ Device detected"));
        post({DetectionUpdate::Connected});
        readDeviceDetails(runner, post, udid);
        post({DetectionUpdate::Finished});
        return;
    }

    consoleLine(QStringLiteral("No device detected :("));
    const failure::Finding finding = notFoundCause(environment, info);
    DetectionUpdate notFound(DetectionUpdate::NotFound, finding.cause);
    notFound.words = finding.words;
    notFound.fix = failure::availableFix(notFound.cause, environment.tools);
    post(notFound);
    dispatch::sleepUnlessQuitting(environment.timings.notFoundPause);
    post({DetectionUpdate::ConnectPrompt});
}

} // namespace detection

DeviceDetector::DeviceDetector(ScreenModel &model, QObject *parent)
    : QObject(parent)
    , model_(model)
    , queue_(this)
{
}

DeviceDetector::~DeviceDetector()
{
    queue_.close();
}

void DeviceDetector::startDeviceDetection()
{
    // Every phone listed is detected; with none, ideviceinfo's own answer says why.
    ++running_;
    const MainQueue queue = queue_;
    DeviceDetector *const receiver = this;
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [environment = model_.environment(), queue, receiver] {
            const ToolRunner runner = environment.toolRunner();
            std::optional<QStringList> phones;
            const bool listing = runner.locator().resolveTool(devicetools::kIdeviceId).has_value();
            if (listing) {
                phones = devicetools::phoneListing(
                    runner.runTool(devicetools::kIdeviceId, devicetools::listDevicesArguments()));
            } else {
                // Without idevice_id, the phone ideviceinfo finds first is the one there is.
                const std::optional<QString> first = devicetools::valueOf(runner.runTool(
                    devicetools::kIdeviceinfo,
                    devicetools::deviceValueArguments(QStringLiteral("UniqueDeviceID"))));
                phones = first && !first->isEmpty() ? QStringList {*first} : QStringList();
            }
            queue.post([receiver, phones, listing] {
                --receiver->running_;
                const QStringList known = receiver->model_.phones();
                if (phones && listing)
                    Q_EMIT receiver->phonesListed(*phones); // new ones are detected as they come
                if (!phones || phones->isEmpty()) {
                    receiver->start(QString());
                    return;
                }
                for (const QString &udid : *phones) {
                    if (known.contains(udid)) {
                        receiver->start(udid);
                    } else if (!receiver->model_.session(udid)) { // nobody watches arrivals
                        receiver->model_.addSession(udid);
                        receiver->start(udid);
                    }
                }
            });
        });
}

void DeviceDetector::detectPhone(const QString &udid)
{
    start(udid);
}

void DeviceDetector::start(const QString &udid)
{
    ++running_;
    // The newest detection of a phone speaks for it: the steps of one it overtook are dropped,
    // or an old "not found" and its prompt would land over a device found since.
    const quint64 generation = ++generations_;
    newest_[udid] = generation;

    // The worker only sees this callable: each step is carried to the GUI thread and applied
    // there, in the order posted.
    const MainQueue queue = queue_;
    DeviceDetector *const receiver = this;
    auto post = [queue, receiver, generation, udid](const DetectionUpdate &update) {
        queue.post([receiver, update, generation, udid] {
            // A phone that came since makes the steps of a search for none stale.
            const bool stale = generation != receiver->newest_[udid]
                || (udid.isEmpty() && !receiver->model_.phones().isEmpty());
            if (!stale) {
                if (udid.isEmpty())
                    receiver->model_.update(
                        [&update](ScreenState &s) { detection::apply(s, update); });
                else
                    receiver->model_.updateSession(
                        udid, [&update](DeviceSession &s) { detection::apply(s, update); });
            }
            if (update.endsDetection()) {
                --receiver->running_;
                Q_EMIT receiver->detectionFinished();
            }
        });
    };
    dispatch::runInBackground(dispatch::Priority::UserInitiated,
                              [environment = model_.environment(), post, udid] {
                                  detection::detectDevice(environment, post, udid);
                              });
}
