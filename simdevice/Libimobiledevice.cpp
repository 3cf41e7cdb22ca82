// libimobiledevice 1.3.0's tools as Debian 12 ships them: ideviceinfo, idevice_id,
// idevicesetlocation (behind PinDrift's holding wrapper, unless set to "stock") and idevicepair.
#include "Kit.h"

namespace sim {

namespace {

struct Options
{
    std::string udid;
    bool simple = false; // ideviceinfo -s: no pairing handshake
    std::string key;
    Args positional;
    std::string bad; // the first option getopt would refuse
};

// getopt_long as the tools use it: options first, "--" ends them, a word starting with "-" is
// an option (so a negative number needs "--").
Options parseOptions(const Args &args, const std::string &withValue, const std::string &flags)
{
    Options options;
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            options.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        const bool isLong = arg.rfind("--", 0) == 0;
        const std::string name = isLong ? arg.substr(2) : arg.substr(1, 1);
        const auto value = [&]() -> std::optional<std::string> {
            if (!isLong && arg.size() > 2)
                return arg.substr(2);
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };
        if (name == "u" || name == "udid") {
            if (auto v = value())
                options.udid = *v;
            else if (options.bad.empty())
                options.bad = arg;
        } else if ((name == "k" || name == "key") && withValue.find('k') != std::string::npos) {
            if (auto v = value())
                options.key = *v;
            else if (options.bad.empty())
                options.bad = arg;
        } else if ((name == "s" || name == "simple") && flags.find('s') != std::string::npos) {
            options.simple = true;
        } else if (name == "n" || name == "network" || name == "d" || name == "debug") {
        } else if (options.bad.empty()) {
            options.bad = arg;
        }
    }
    return options;
}

// getopt's own words for a refused option.
std::string refusal(const std::string &tool, const std::string &option)
{
    if (option.rfind("--", 0) == 0)
        return tool + ": unrecognized option '" + option + "'\n";
    return tool + ": invalid option -- '" + option.substr(1, 1) + "'\n";
}

std::string notFound(const std::string &udid)
{
    return udid.empty() ? "ERROR: No device found!\n" : "ERROR: Device " + udid + " not found!\n";
}

// lockdownd_strerror() and the error code, for a phone that refuses the session.
std::string lockdownError(const std::string &udid)
{
    const std::string c = condition(udid);
    if (c == "locked")
        return "Password protected (-17)";
    if (c == "pairing-pending")
        return "Pairing dialog response pending (-19)";
    return "Invalid HostID (-21)";
}

} // namespace

int ideviceinfo(const Args &args)
{
    const Options options = parseOptions(args, "k", "s");
    const auto fault = faultFor("ideviceinfo", options.key);
    if (auto status = applyLeadingFault(fault))
        return *status;
    if (!options.bad.empty()) {
        sayError(refusal("ideviceinfo", options.bad) + "Usage: ideviceinfo [OPTIONS]\n");
        return 2;
    }
    const std::string udid = targetPhone(options.udid);
    if (udid.empty()) {
        say(notFound(options.udid));
        return 255;
    }
    actsOn(udid);
    if (!options.simple && lockdownRefuses(udid)) {
        sayError("ERROR: Could not connect to lockdownd: " + lockdownError(udid) + "\n");
        return 255;
    }
    Values p = phone(udid);
    const Values values {
        {"ActivationState", "Activated"},
        {"DeviceClass", "iPhone"},
        {"DeviceName", p["name"].empty() ? "Simulated iPhone" : p["name"]},
        {"ProductType", p["product"]},
        {"ProductVersion", p["ios"]},
        {"SerialNumber", p["serial"]},
        {"UniqueDeviceID", udid},
    };
    if (!options.key.empty()) {
        const auto found = values.find(options.key);
        if (found != values.end())
            say(found->second + "\n");
        return exitStatusFault(fault);
    }
    for (const auto &[name, value] : values) {
        if (name == "ActivationState" && fault && fault->kind == "no-activation")
            continue;
        say(name + ": " + value + "\n");
    }
    return exitStatusFault(fault);
}

int ideviceId(const Args &args)
{
    const auto fault = faultFor("idevice_id", "list");
    if (auto status = applyLeadingFault(fault))
        return *status;
    if (args.size() != 1 || args[0] != "-l") {
        sayError("Usage: idevice_id [OPTIONS] [UDID]\n");
        return 1;
    }
    if (fault && fault->kind == "blank") {
        say("\n\n");
        return 0;
    }
    if (!usbmuxdRuns()) {
        sayError("ERROR: Unable to retrieve device list!\n");
        return 255;
    }
    for (const std::string &udid : attachedPhones())
        say(udid + "\n");
    return exitStatusFault(fault);
}

int idevicesetlocation(const Args &args)
{
    const Options options = parseOptions(args, "", "");
    const bool reset = options.positional.size() == 1 && options.positional[0] == "reset";
    const auto fault = faultFor("idevicesetlocation", reset ? "reset" : "set");
    if (auto status = applyLeadingFault(fault))
        return *status;
    const char *usage = "Usage: idevicesetlocation [OPTIONS] -- <LAT> <LONG>\n"
                        "       idevicesetlocation [OPTIONS] reset\n";
    if (!options.bad.empty()) {
        sayError(refusal("idevicesetlocation", options.bad) + usage);
        return 2;
    }
    if (!reset && options.positional.size() != 2) {
        sayError(usage);
        return 255;
    }
    const std::string udid = targetPhone(options.udid);
    if (udid.empty()) {
        say(notFound(options.udid));
        return 255;
    }
    actsOn(udid);
    // 1.3.0 ignores why lockdown refused it: every failure, iOS 17's refusal of the service
    // included, reads as a missing image.
    const std::string c = condition(udid);
    if (lockdownRefuses(udid) || c == "no-image" || c == "devmode-off"
        || majorVersion(udid) >= 17) {
        say("ERROR: Could not start the simulatelocation service. Make sure a developer disk "
            "image is mounted!\n");
        return 255;
    }
    if (reset) {
        clearLocation(udid);
        return exitStatusFault(fault);
    }
    installTerminateHandler();
    setLocation(udid, options.positional[0], options.positional[1]);
    // The stock tool sends the location and leaves; "hold" is PinDrift's wrapper, which stays.
    if (kit()["setlocationMode"] == "stock")
        return exitStatusFault(fault);
    if (fault && fault->kind == "exit-early")
        return 0;
    holdUntilTerminated(fault);
    journal("# idevicesetlocation ended", udid);
    return 0;
}

int idevicepair(const Args &args)
{
    const Options options = parseOptions(args, "", "");
    const std::string command = options.positional.empty() ? std::string() : options.positional[0];
    if (auto status = applyLeadingFault(faultFor("idevicepair", command)))
        return *status;
    if (command.empty()) {
        say("ERROR: You need to specify a COMMAND!\n");
        return 1;
    }
    if (command != "pair" && command != "validate") {
        say("ERROR: Invalid command '" + command + "' specified\n");
        return 1;
    }
    const std::string udid = targetPhone(options.udid);
    if (udid.empty()) {
        say(options.udid.empty() ? "No device found.\n"
                                 : "No device found with udid " + options.udid + ".\n");
        return 1;
    }
    actsOn(udid);
    const std::string c = condition(udid);
    if (c == "locked") {
        say("ERROR: Could not validate with device " + udid
            + " because a passcode is set. Please enter the passcode on the device and retry.\n");
        return 1;
    }
    if (c == "pairing-pending") {
        say("ERROR: Please accept the trust dialog on the screen of device " + udid
            + ", then attempt to pair again.\n");
        return 1;
    }
    if (command == "validate") {
        if (c == "untrusted") {
            say("ERROR: Device " + udid + " is not paired with this host\n");
            return 1;
        }
        say("SUCCESS: Validated pairing with device " + udid + "\n");
        return 0;
    }
    // Pairing asks the phone, which shows Trust This Computer: until someone taps Trust the
    // answer is "pending", and pairing must be asked for again.
    if (c == "untrusted") {
        updatePhone(udid, {{"condition", "pairing-pending"}});
        say("ERROR: Please accept the trust dialog on the screen of device " + udid
            + ", then attempt to pair again.\n");
        return 1;
    }
    say("SUCCESS: Paired with device " + udid + "\n");
    return 0;
}

} // namespace sim
