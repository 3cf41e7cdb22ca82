#include "device/DeviceDetection.h"

#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "state/ScreenModel.h"
#include "tools/DeviceTools.h"

#include <QFileInfo>
#include <thread>

namespace detection {

namespace {

void clearDeviceFields(ScreenState &s)
{
    s.deviceiosLabelText.clear();
    s.serialnumberLabelText.clear();
    s.udidLabelText.clear();
    s.productTypeLabelText.clear();
}

} // namespace

void apply(ScreenState &s, const DetectionUpdate &update)
{
    switch (update.kind) {
    case DetectionUpdate::Checking:
        s.deviceHint = {};
        s.disabledDetectButtonSafety = true;
        s.disabledLockButton = true;
        s.statusIMGText = QStringLiteral("iphone16_halfload");
        s.statusLabelText = QStringLiteral("Checking devices...");
        clearDeviceFields(s);
        break;
    case DetectionUpdate::ToolMissing:
        s.statusLabelText = QStringLiteral("Error: ideviceinfo missing from app bundle!");
        s.statusIMGText = QStringLiteral("iphone16");
        s.disabledDetectButtonSafety = false;
        break;
    case DetectionUpdate::Connected:
        s.statusLabelText = QStringLiteral("iOS Device Connected!");
        s.statusIMGText = QStringLiteral("iphone16hello");
        break;
    case DetectionUpdate::Value:
        switch (update.row) {
        case devicetools::ProductVersion:
            s.deviceiosLabelText = update.value;
            break;
        case devicetools::SerialNumber:
            s.serialnumberLabelText = update.value;
            break;
        case devicetools::ProductType:
            s.productTypeLabelText = update.value;
            break;
        case devicetools::UniqueDeviceID:
            s.udidLabelText = update.value;
            break;
        default:
            break;
        }
        break;
    case DetectionUpdate::Finished:
        s.disabledDetectButtonSafety = false;
        s.disabledLockButton = false;
        break;
    case DetectionUpdate::NotFound:
        s.statusLabelText = QStringLiteral("Not detecting any devices!");
        s.statusIMGText = QStringLiteral("iphone16");
        s.deviceHint = {update.cause, update.fix, false, QString(), update.words};
        clearDeviceFields(s);
        break;
    case DetectionUpdate::ConnectPrompt:
        s.statusLabelText = QStringLiteral("Connect iOS Device in normal mode");
        s.disabledDetectButtonSafety = false;
        s.disabledLockButton = true;
        break;
    }
}

void readDeviceDetails(const ToolRunner &runner,
                       const std::function<void(const DetectionUpdate &)> &post)
{
    for (int row = 0; row < devicetools::DetailRowCount; ++row) {
        const devicetools::DeviceDetail &detail = devicetools::kDeviceDetails[row];
        const std::optional<QString> value = devicetools::valueOf(runner.runTool(
            devicetools::kIdeviceinfo, devicetools::deviceValueArguments(detail.key)));
        if (!value) {
            consoleLine(QStringLiteral("Error getting ") + detail.label);
            continue;
        }
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
                  const std::function<void(const DetectionUpdate &)> &post)
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
        runner.runTool(devicetools::kIdeviceinfo, devicetools::deviceInfoArguments());
    if (devicetools::deviceAnswered(info)) {
        consoleLine(QStringLiteral("✓ Device detected"));
        post({DetectionUpdate::Connected});
        readDeviceDetails(runner, post);
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
    ++running_;
    // The newest detection speaks for the device: the steps of one it overtook are dropped, or
    // an old "not found" and its prompt would land over a device found since.
    const quint64 generation = ++newest_;

    // The worker only sees this callable: each step is carried to the GUI thread and applied
    // there, in the order posted.
    const MainQueue queue = queue_;
    DeviceDetector *const receiver = this;
    auto post = [queue, receiver, generation](const DetectionUpdate &update) {
        queue.post([receiver, update, generation] {
            if (generation == receiver->newest_)
                receiver->model_.update([&update](ScreenState &s) { detection::apply(s, update); });
            if (update.endsDetection()) {
                --receiver->running_;
                Q_EMIT receiver->detectionFinished();
            }
        });
    };
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated,
        [environment = model_.environment(), post] { detection::detectDevice(environment, post); });
}
