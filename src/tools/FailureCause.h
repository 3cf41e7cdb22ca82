#pragma once

#include "tools/GoIos.h"
#include "tools/ToolLocator.h"

#include <QString>
#include <QStringList>
#include <span>

// Why a device tool failed, read from what the tools print, and what the user can do about it.
namespace failure {

enum class Cause {
    None,
    NoUsbmuxd, // the USB multiplexing daemon is not running (Linux)
    Locked, // the phone is locked, or asks for its passcode
    NotTrusted, // not paired, pairing pending, trust refused
    DeveloperModeOff,
    ImageNotMounted, // the developer disk image
    TunnelNotAnswering, // the iOS 17+ tunnel (tunneld, or go-ios's agent)
    ToolMissing, // no iOS 17+ tool at all
};

// What a button beside the hint can do from here.
enum class Fix { None, MountImage, RevealDeveloperMode, PairAgain };

// Who words a message, and so where its text can be checked.
enum class Origin {
    LibImobiledevice, // the Debian tools and their library
    GoIos, // go-ios's `ios` binary
    PyMobileDevice3, // pymobiledevice3's sources (it cannot be installed here to check)
    Device, // an error name the phone itself sends, passed on as it is (libimobiledevice's
            // library knows each of them by name)
    Ours,
};

// One recorded tool message: a line that contains `text` (case-sensitive) means `cause`.
// `evidence`, when set, is the part of `text` that the tool holds literally (the rest is made up
// as it runs, like a socket path inside a system error).
struct Recogniser
{
    const char *text;
    Cause cause;
    Origin origin;
    const char *evidence = nullptr;
};

// Every message known, from libimobiledevice, pymobiledevice3 and go-ios, and our own lines.
std::span<const Recogniser> recognisers();

// A cause with the tool's own words: the line that named it, without our console decoration.
struct Finding
{
    Cause cause = Cause::None;
    QString words;
};

// The cause of the first recogniser (in the table's order) that any line matches; None when none
// does.
Finding recognise(const QStringList &lines);

// The one hint line shown under the status, in plain words, with the fix.
QString hintText(Cause cause);

// The command line of a fix, with the tool that does it: go-ios first, then pymobiledevice3;
// libimobiledevice's idevicepair pairs. Absent when no tool in the tool folder can do it.
struct FixCommand
{
    QString tool; // its name, as the console shows it
    QString path;
    QStringList arguments;
};
std::optional<FixCommand> fixCommand(Fix fix, const ToolLocator &tools, const QString &udid,
                                     const goios::Agent &agent, const QString &imageFolder);

// The button a cause gets, when a tool in the tool folder can do it; None otherwise.
Fix availableFix(Cause cause, const ToolLocator &tools);

QString fixLabel(Fix fix);
QString fixTooltip(Fix fix);
QString fixProgress(Fix fix); // while it runs
QString fixDone(Fix fix); // after it succeeded

} // namespace failure
