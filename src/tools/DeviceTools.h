#pragma once

#include "tools/ToolRunResult.h"

#include <QStringList>
#include <array>
#include <optional>

// The libimobiledevice command lines the program uses, and what it reads from their answers.
// Building the arguments and reading the answers are kept apart so each can be checked alone.
namespace devicetools {

inline const QString kIdeviceinfo = QStringLiteral("ideviceinfo");
inline const QString kIdeviceId = QStringLiteral("idevice_id");
inline const QString kIdevicesetlocation = QStringLiteral("idevicesetlocation");

// The facts a detection reads, in the order it reads them.
struct DeviceDetail
{
    QString label; // as printed on the console
    QString key; // passed after "-k"
};

enum DetailRow {
    ProductVersion,
    SerialNumber,
    ProductType,
    DeviceName,
    UniqueDeviceID, // last: once the UDID shows, the detection is over
    DetailRowCount
};

inline const std::array<DeviceDetail, DetailRowCount> kDeviceDetails {{
    {QStringLiteral("ProductVersion:"), QStringLiteral("ProductVersion")},
    {QStringLiteral("SerialNumber:"), QStringLiteral("SerialNumber")},
    {QStringLiteral("ProductType:"), QStringLiteral("ProductType")},
    {QStringLiteral("DeviceName:"), QStringLiteral("DeviceName")},
    {QStringLiteral("UniqueDeviceID:"), QStringLiteral("UniqueDeviceID")},
}};

// "-u UDID", which names the phone a libimobiledevice tool acts on; none: the first it finds.
inline QStringList phoneOption(const QString &udid)
{
    return udid.isEmpty() ? QStringList() : QStringList {QStringLiteral("-u"), udid};
}

// ideviceinfo [-u UDID]: does the phone answer at all?
inline QStringList deviceInfoArguments(const QString &udid = {})
{
    return phoneOption(udid);
}
// ideviceinfo [-u UDID] -k KEY: one value.
inline QStringList deviceValueArguments(const QString &key, const QString &udid = {})
{
    return phoneOption(udid) + QStringList {QStringLiteral("-k"), key};
}
// idevice_id -l: the attached devices.
inline QStringList listDevicesArguments()
{
    return {QStringLiteral("-l")};
}
// idevicesetlocation [-u UDID] -- LAT LON ("--" so a negative value is not read as an option).
QStringList setLocationArguments(double latitude, double longitude, const QString &udid = {});
// idevicesetlocation [-u UDID] reset
inline QStringList resetLocationArguments(const QString &udid = {})
{
    return phoneOption(udid) + QStringList {QStringLiteral("reset")};
}
// The UDIDs of `idevice_id -l`'s answer, in its order; none unless it exited 0 (a tool that is
// missing or cannot start lists none, as when usbmuxd is not there). Absent when the tool overran
// its deadline, which says nothing about the phones.
std::optional<QStringList> phoneListing(const ToolRunResult &result);

// A device answered when "ActivationState:" appears anywhere, whatever the exit status.
bool deviceAnswered(const ToolRunResult &result);
// The trimmed value of a -k query; absent unless it exited 0 with readable output.
std::optional<QString> valueOf(const ToolRunResult &result);
// At least one device listed: exit 0 and output that is not blank.
bool deviceListed(const ToolRunResult &result);

} // namespace devicetools
