#pragma once

#include <QString>
#include <array>
#include <optional>

// An iOS version as the phone reports it ("17.4", "17.4.1", "26.0"), compared the way the tools
// compare it: missing parts are zero, so "17.4" is 17.4.0.
namespace iosversion {

using Version = std::array<int, 3>;

// Absent when the text is not one to three dot-separated whole numbers.
std::optional<Version> parse(const QString &text);

// Which tunnel reaches the phone for a location command, by tool. Both tools need a tunnel from
// iOS 17 on, and both can make one without administrator rights only for later versions:
// - go-ios's userspace tunnel needs more than 17.4.0 (its agent refuses 17.0 to 17.4.0 with
//   "userspaceTUN not supported for iOS >=17 and < 17.4"); below that, its kernel tunnel, as root.
// - pymobiledevice3's in-process userspace tunnel needs the CoreDeviceProxy service of 17.4 and
//   later; 17.0 to 17.3 need its tunnel daemon, as root.
enum class Tunnel { None, Userspace, Kernel };
Tunnel goIosTunnel(const QString &version);
Tunnel pymobiledevice3Tunnel(const QString &version);

} // namespace iosversion
