#include "tools/FailureCause.h"

#include <array>

namespace failure {

namespace {

// Recorded from the tools at the versions the build uses: libimobiledevice 1.3.0 (Debian 12),
// go-ios 1.2.0, pymobiledevice3 10.10.3. Order matters where one line could match two rows: a
// go-ios line for a locked phone also asks "Have you mounted the Developer Image?".
using O = Origin;
constexpr std::array kRecognisers {
    // libimobiledevice: lockdownd_strerror() after ideviceinfo's "Could not connect to lockdownd:
    // ",
    // and idevicepair's own lines.
    Recogniser {"Password protected", Cause::Locked, O::LibImobiledevice},
    Recogniser {"because a passcode is set", Cause::Locked, O::LibImobiledevice},
    Recogniser {"Pairing dialog response pending", Cause::NotTrusted, O::LibImobiledevice},
    Recogniser {"Invalid HostID", Cause::NotTrusted, O::LibImobiledevice},
    Recogniser {"User denied pairing", Cause::NotTrusted, O::LibImobiledevice},
    Recogniser {"is not paired with this host", Cause::NotTrusted, O::LibImobiledevice},
    Recogniser {"Please accept the trust dialog", Cause::NotTrusted, O::LibImobiledevice},
    Recogniser {"said that the user denied the trust dialog", Cause::NotTrusted,
                O::LibImobiledevice},
    // idevicesetlocation 1.3.0 says this after any failure (see SetLocationBackend).
    Recogniser {"Make sure a developer disk image is mounted", Cause::ImageNotMounted,
                O::LibImobiledevice},
    // pymobiledevice3: the messages its command-line entry logs for each error.
    Recogniser {"Device is password protected", Cause::Locked, O::PyMobileDevice3},
    Recogniser {"Device is not paired", Cause::NotTrusted, O::PyMobileDevice3},
    Recogniser {"Waiting for user dialog approval", Cause::NotTrusted, O::PyMobileDevice3},
    Recogniser {"User refused to trust this computer", Cause::NotTrusted, O::PyMobileDevice3},
    Recogniser {"waiting user pairing dialog", Cause::NotTrusted, O::PyMobileDevice3},
    Recogniser {"Developer Mode is disabled", Cause::DeveloperModeOff, O::PyMobileDevice3},
    Recogniser {"PersonalizedImage is mounted via", Cause::ImageNotMounted, O::PyMobileDevice3},
    Recogniser {"Failed to connect to usbmuxd socket", Cause::NoUsbmuxd, O::PyMobileDevice3},
    Recogniser {"Unable to connect to Tunneld", Cause::TunnelNotAnswering, O::PyMobileDevice3},
    Recogniser {"no-root userspace tunnel unavailable", Cause::TunnelNotAnswering,
                O::PyMobileDevice3},
    Recogniser {"Device is not connected", Cause::TunnelNotAnswering, O::PyMobileDevice3},
    // The error names a phone sends, which go-ios passes on as they are.
    Recogniser {"PasswordProtected", Cause::Locked, O::Device},
    Recogniser {"PairingDialogResponsePending", Cause::NotTrusted, O::Device},
    Recogniser {"InvalidHostID", Cause::NotTrusted, O::Device},
    Recogniser {"UserDeniedPairing", Cause::NotTrusted, O::Device},
    // go-ios: pairing, the image (kernel tunnel: the instruments service is unavailable;
    // userspace tunnel: its channel is never granted), usbmuxd, the tunnel.
    Recogniser {"Please accept the PairingDialog", Cause::NotTrusted, O::GoIos},
    Recogniser {"could not retrieve PairRecord", Cause::NotTrusted, O::GoIos},
    Recogniser {"Have you mounted the Developer Image?", Cause::ImageNotMounted, O::GoIos},
    Recogniser {"instruments service ", Cause::ImageNotMounted, O::GoIos},
    Recogniser {"failed requesting channel", Cause::ImageNotMounted, O::GoIos},
    Recogniser {"dial unix /var/run/usbmuxd", Cause::NoUsbmuxd, O::GoIos, "/var/run/usbmuxd"},
    Recogniser {"userspaceTUN not supported", Cause::TunnelNotAnswering, O::GoIos},
    Recogniser {"failed to get tunnel info", Cause::TunnelNotAnswering, O::GoIos},
    // Our own lines.
    Recogniser {"tunneld not reachable", Cause::TunnelNotAnswering, O::Ours},
    Recogniser {"tunneld has no tunnel to", Cause::TunnelNotAnswering, O::Ours},
    Recogniser {"go-ios tunnel agent did not answer", Cause::TunnelNotAnswering, O::Ours},
    Recogniser {"No iOS 17+ tool found", Cause::ToolMissing, O::Ours},
};

// The tool's words of a console line: our markers ("❌ ", "⚠️ ", "go-ios: ") taken off.
QString toolWords(const QString &line)
{
    QString words = line.trimmed();
    // Our own line may quote go-ios: its words are what follows.
    if (const qsizetype quoted = words.lastIndexOf(QStringLiteral("go-ios: ")); quoted >= 0)
        words = words.mid(quoted + 8);
    for (const QString &prefix :
         {QStringLiteral("❌ "), QStringLiteral("⚠️ "), QStringLiteral("ERROR: ")}) {
        if (words.startsWith(prefix))
            words = words.mid(prefix.size()).trimmed();
    }
    constexpr qsizetype kLongest = 200;
    if (words.size() > kLongest)
        words = words.left(kLongest - 1) + QStringLiteral("…");
    return words;
}

} // namespace

std::span<const Recogniser> recognisers()
{
    return kRecognisers;
}

Finding recognise(const QStringList &lines)
{
    // The table's order, not the lines', decides: idevicesetlocation 1.3.0 blames a missing image
    // for every failure, and the line that tells the real cause may come after it.
    for (const Recogniser &r : kRecognisers) {
        for (const QString &line : lines) {
            if (line.contains(QLatin1StringView(r.text)))
                return {r.cause, r.origin == Origin::Ours ? QString() : toolWords(line)};
        }
    }
    return {};
}

QString hintText(Cause cause)
{
    switch (cause) {
    case Cause::None:
        return {};
    case Cause::NoUsbmuxd:
        return QStringLiteral("Start usbmuxd (sudo systemctl start usbmuxd), then press Detect "
                              "Device");
    case Cause::Locked:
    case Cause::NotTrusted:
        return QStringLiteral("Unlock the iPhone and tap Trust, then press Detect Device");
    case Cause::DeveloperModeOff:
        return QStringLiteral(
            "Turn on Developer Mode: Settings → Privacy & Security → Developer Mode");
    case Cause::ImageNotMounted:
        return QStringLiteral("Mount the developer disk image, then press Spoof Location again");
    case Cause::TunnelNotAnswering:
        return QStringLiteral("The iOS 17+ tunnel did not come up: unlock the iPhone, tap Trust if "
                              "it asks, then press Spoof Location again");
    case Cause::ToolMissing:
        return QStringLiteral("iOS 17 and later need go-ios or pymobiledevice3: run make run "
                              "again (it fetches go-ios), or pipx install pymobiledevice3 and "
                              "build again");
    }
    return {};
}

std::optional<FixCommand> fixCommand(Fix fix, const ToolLocator &tools, const QString &udid,
                                     const goios::Agent &agent, const QString &imageFolder)
{
    const auto with = [&tools](const QString &tool,
                               const QStringList &arguments) -> std::optional<FixCommand> {
        if (const std::optional<QString> path = tools.resolveTool(tool))
            return FixCommand {tool, *path, arguments};
        return std::nullopt;
    };
    const QString pymobiledevice3 = QStringLiteral("pymobiledevice3");
    // Without a UDID (the phone did not answer yet) each tool takes the one attached.
    const QStringList udidOption =
        udid.isEmpty() ? QStringList() : QStringList {QStringLiteral("--udid"), udid};
    const QStringList pairUdid =
        udid.isEmpty() ? QStringList() : QStringList {QStringLiteral("-u"), udid};
    std::optional<FixCommand> command;
    switch (fix) {
    case Fix::None:
        break;
    case Fix::MountImage:
        command = with(goios::kTool, goios::imageAutoArguments(udid, imageFolder, agent));
        if (!command)
            command = with(pymobiledevice3,
                           QStringList {QStringLiteral("mounter"), QStringLiteral("auto-mount")}
                               + udidOption);
        break;
    case Fix::RevealDeveloperMode:
        command = with(goios::kTool, goios::revealDeveloperModeArguments(udid, agent));
        if (!command)
            command =
                with(pymobiledevice3,
                     QStringList {QStringLiteral("amfi"), QStringLiteral("reveal-developer-mode")}
                         + udidOption);
        break;
    case Fix::PairAgain:
        // Options before the command: the form every getopt reads.
        command =
            with(QStringLiteral("idevicepair"), pairUdid + QStringList {QStringLiteral("pair")});
        break;
    }
    return command;
}

Fix availableFix(Cause cause, const ToolLocator &tools)
{
    Fix fix = Fix::None;
    if (cause == Cause::NotTrusted)
        fix = Fix::PairAgain;
    else if (cause == Cause::DeveloperModeOff)
        fix = Fix::RevealDeveloperMode;
    else if (cause == Cause::ImageNotMounted)
        fix = Fix::MountImage;
    return fixCommand(fix, tools, QString(), {}, QString()) ? fix : Fix::None;
}

QString fixLabel(Fix fix)
{
    switch (fix) {
    case Fix::MountImage:
        return QStringLiteral("Mount Developer Image");
    case Fix::RevealDeveloperMode:
        return QStringLiteral("Show Developer Mode on iPhone");
    case Fix::PairAgain:
        return QStringLiteral("Pair Again");
    case Fix::None:
        break;
    }
    return {};
}

QString fixTooltip(Fix fix)
{
    switch (fix) {
    case Fix::MountImage:
        return QStringLiteral("Downloads the developer disk image that matches the iPhone's iOS "
                              "version, then mounts it");
    case Fix::RevealDeveloperMode:
        return QStringLiteral("Makes the Developer Mode item appear in the iPhone's Settings → "
                              "Privacy & Security");
    case Fix::PairAgain:
        return QStringLiteral("Asks the iPhone to trust this computer again; tap Trust on it");
    case Fix::None:
        break;
    }
    return {};
}

QString fixProgress(Fix fix)
{
    switch (fix) {
    case Fix::MountImage:
        return QStringLiteral("Mounting the developer image...");
    case Fix::RevealDeveloperMode:
        return QStringLiteral("Showing Developer Mode on the iPhone...");
    case Fix::PairAgain:
        return QStringLiteral("Pairing... tap Trust on the iPhone");
    case Fix::None:
        break;
    }
    return {};
}

QString fixDone(Fix fix)
{
    switch (fix) {
    case Fix::MountImage:
        return QStringLiteral("✓ Developer image mounted — press Spoof Location again");
    case Fix::RevealDeveloperMode:
        return QStringLiteral("✓ Now turn it on: Settings → Privacy & Security → Developer Mode");
    case Fix::PairAgain:
        return QStringLiteral("✓ Paired — press Detect Device");
    case Fix::None:
        break;
    }
    return {};
}

} // namespace failure
