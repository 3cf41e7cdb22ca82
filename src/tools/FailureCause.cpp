#include "tools/FailureCause.h"

#include <array>

namespace failure {

namespace {

// Recorded from the tools' own sources. Order matters only where one line could match two rows.
constexpr std::array kRecognisers {
    // libimobiledevice: lockdownd_strerror() after "Could not connect to lockdownd: ", and the
    // tools' own lines (idevicesetlocation, idevicepair).
    Recogniser {"Password protected", Cause::Locked},
    Recogniser {"because a passcode is set", Cause::Locked},
    Recogniser {"Pairing dialog response pending", Cause::NotTrusted},
    Recogniser {"Invalid host ID", Cause::NotTrusted},
    Recogniser {"User denied pairing", Cause::NotTrusted},
    Recogniser {"is not paired with this host", Cause::NotTrusted},
    Recogniser {"Please accept the trust dialog", Cause::NotTrusted},
    Recogniser {"said that the user denied the trust dialog", Cause::NotTrusted},
    Recogniser {"Make sure a developer disk image is mounted", Cause::ImageNotMounted},
    // pymobiledevice3: the messages of its command-line entry for each exception.
    Recogniser {"Device is password protected", Cause::Locked},
    Recogniser {"Device is not paired", Cause::NotTrusted},
    Recogniser {"Waiting for user dialog approval", Cause::NotTrusted},
    Recogniser {"User refused to trust this computer", Cause::NotTrusted},
    Recogniser {"Developer Mode is disabled", Cause::DeveloperModeOff},
    Recogniser {"PersonalizedImage is mounted via", Cause::ImageNotMounted},
    Recogniser {"Failed to connect to usbmuxd socket", Cause::NoUsbmuxd},
    Recogniser {"Unable to connect to Tunneld", Cause::TunnelNotAnswering},
    // go-ios: lockdown and usbmux errors, the image mounter's, the device's own error names.
    Recogniser {"PasswordProtected", Cause::Locked},
    Recogniser {"PairingDialogResponsePending", Cause::NotTrusted},
    Recogniser {"Please accept the PairingDialog", Cause::NotTrusted},
    Recogniser {"InvalidHostID", Cause::NotTrusted},
    Recogniser {"could not retrieve PairRecord", Cause::NotTrusted},
    Recogniser {"DeveloperModeIsNotEnabled", Cause::DeveloperModeOff},
    Recogniser {"Have you mounted the Developer Image?", Cause::ImageNotMounted},
    Recogniser {"Could not connect to usbmuxd socket", Cause::NoUsbmuxd},
    Recogniser {"/var/run/usbmuxd: connect", Cause::NoUsbmuxd},
    Recogniser {"failed to get tunnel info", Cause::TunnelNotAnswering},
    // Our own lines.
    Recogniser {"tunneld not reachable", Cause::TunnelNotAnswering},
    Recogniser {"go-ios tunnel agent did not answer", Cause::TunnelNotAnswering},
    Recogniser {"No iOS 17+ tool found", Cause::ToolMissing},
};

} // namespace

std::span<const Recogniser> recognisers()
{
    return kRecognisers;
}

Cause recognise(const QStringList &lines)
{
    for (const QString &line : lines) {
        for (const Recogniser &r : kRecognisers) {
            if (line.contains(QLatin1StringView(r.text)))
                return r.cause;
        }
    }
    return Cause::None;
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
        return QStringLiteral("The iOS 17+ tunnel did not answer: plug the iPhone in again, then "
                              "press Spoof Location again");
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
