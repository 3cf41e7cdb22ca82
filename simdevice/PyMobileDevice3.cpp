// pymobiledevice3 10.10.3: "developer dvt simulate-location set|clear|play", "remote tunneld",
// "mounter auto-mount" and "amfi reveal-developer-mode".
#include "Kit.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

namespace sim {

namespace {

// coloredlogs' default format, on standard error: "DATE TIME HOST NAME[PID] LEVEL MESSAGE".
void pyLog(const std::string &level, const std::string &message,
           const std::string &logger = "pymobiledevice3.__main__")
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    sayError(std::string(stamp) + " simhost " + logger + "[" + std::to_string(getpid()) + "] "
             + level + " " + message + "\n");
}

const char *const kInvalidServiceMessage =
    "Failed to start service. Possible reasons are:\n"
    "- If you were trying to access a developer service (developer subcommand):\n"
    "    - If your device iOS version >= 15.0:\n"
    "        - Make sure you first enabled \"Developer Mode\" via:\n"
    "          > python3 -m pymobiledevice3 amfi enable-developer-mode\n"
    "\n"
    "    - Make sure the DeveloperDiskImage/PersonalizedImage is mounted via:\n"
    "      > python3 -m pymobiledevice3 mounter auto-mount\n";

// What the command-line entry logs when lockdown refuses the phone; empty when it does not.
std::string lockdownRefusal(const std::string &udid)
{
    const std::string c = condition(udid);
    if (c == "locked")
        return "Device is password protected. Please unlock and retry";
    return {};
}

// A phone that does not trust us: it pairs again and waits for Trust, with no time limit.
[[noreturn]] void waitForTrust()
{
    pyLog("INFO", "waiting user pairing dialog...", "pymobiledevice3.lockdown");
    installInterruptHandler();
    holdUntilTerminated(std::nullopt);
    std::exit(0);
}

// The developer service of an iOS 17+ phone, once reached: without Developer Mode or the image
// it is simply not there (RSD lists no dtservicehub), which reads as an invalid service.
std::string developerRefusal(const std::string &udid)
{
    const std::string c = condition(udid);
    if (c == "devmode-off" || c == "no-image")
        return kInvalidServiceMessage;
    return {};
}

bool unbuffered()
{
    const char *value = std::getenv("PYTHONUNBUFFERED");
    return value && *value;
}

// print(): through a pipe Python holds the line in its buffer, and only PYTHONUNBUFFERED makes it
// go out at once.
void print(const std::string &line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fwrite("\n", 1, 1, stdout);
    if (unbuffered())
        std::fflush(stdout);
}

// OSUTILS.wait_return(): the line, then sigwait() for SIGINT or SIGTERM. SIGINT makes the
// command return; SIGTERM is not blocked, so it kills the process. False when killed.
void waitReturn(const std::optional<Fault> &fault)
{
    print("Press Ctrl+C to send a SIGINT or use 'kill' command to send a SIGTERM");
    installInterruptHandler();
    holdUntilTerminated(fault);
}

struct DeviceOptions
{
    std::string tunnel; // --tunnel UDID
    bool tunnelGiven = false;
    bool userspace = false;
    std::string udid;
    Args positional;
    std::string usageError;
};

DeviceOptions deviceOptions(const Args &args, size_t from)
{
    DeviceOptions options;
    bool optionsEnd = false;
    for (size_t i = from; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnd) {
            options.positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--tunnel" && i + 1 < args.size()) {
            options.tunnel = args[++i];
            options.tunnelGiven = true;
        } else if (arg == "--udid" && i + 1 < args.size()) {
            options.udid = args[++i];
        } else if (arg == "--userspace") {
            options.userspace = true;
        } else if (arg.rfind("-", 0) == 0 && arg.size() > 1) {
            if (options.usageError.empty())
                options.usageError = "No such option: " + arg;
        } else {
            options.positional.push_back(arg);
        }
    }
    if (options.userspace && options.tunnelGiven)
        options.usageError =
            "Illegal usage: --userspace is mutually exclusive with --rsd/--tunnel.";
    if (const char *udid = std::getenv("PYMOBILEDEVICE3_UDID"); options.udid.empty() && udid)
        options.udid = udid;
    return options;
}

// Several phones and none named: pymobiledevice3 would ask which, but without a terminal it
// names the candidates and exits 1.
int choiceRefused(const std::vector<std::string> &candidates)
{
    sayError("Choose device: interactive selection requires a terminal. Candidates:\n");
    for (const std::string &candidate : candidates)
        sayError("  " + candidate + "\n");
    sayError("Pass --udid or set PYMOBILEDEVICE3_UDID to choose a device non-interactively.\n");
    return 1;
}

// A phone as the choice lists it: its lockdown client, or the tunnel tunneld has to it.
std::string lockdownCandidate(const std::string &udid)
{
    Values p = phone(udid);
    const std::string c = p["condition"];
    return "<PlistUsbmuxLockdownClient ID:" + udid + " VERSION:" + p["ios"]
        + " TYPE:" + p["product"]
        + " PAIRED:" + (c == "untrusted" || c == "pairing-pending" ? "False" : "True") + ">";
}

std::string tunnelCandidate(const std::string &udid)
{
    Values p = phone(udid);
    return "<RemoteServiceDiscoveryService PRODUCT:" + p["product"] + " VERSION:" + p["ios"]
        + " UDID:" + udid + " NAME:utun4>";
}

// The UDIDs tunneld's GET / lists: {"UDID": [{...}], ...}.
std::vector<std::string> tunneldUdids(const std::string &body)
{
    std::vector<std::string> udids;
    for (size_t at = body.find("\": ["); at != std::string::npos; at = body.find("\": [", at + 1)) {
        const size_t open = body.rfind('"', at - 1);
        if (open != std::string::npos)
            udids.push_back(body.substr(open + 1, at - open - 1));
    }
    return udids;
}

int usageError(const std::string &usage, const std::string &error)
{
    sayError("Usage: pymobiledevice3 " + usage + "\nTry 'pymobiledevice3 "
             + usage.substr(0, usage.find(" [")) + " -h' for help.\n\nError: " + error + "\n");
    return 2;
}

// The phone a developer command reaches, and how ("tunneld:<pid>", "userspace"); empty when the
// command cannot reach one (and has logged why).
struct Reached
{
    std::string udid;
    std::string via;
};

std::optional<Reached> reach(const DeviceOptions &options, int &status)
{
    if (!options.userspace) {
        // --tunnel UDID[:PORT]: always through tunneld on 127.0.0.1, at 49151 unless told.
        std::string named = options.tunnel;
        int port = 49151;
        if (const size_t colon = named.rfind(':'); colon != std::string::npos) {
            port = std::atoi(named.c_str() + colon + 1);
            named.resize(colon);
        }
        const auto [answered, body] = httpGet(port, "/");
        if (answered == 0) {
            pyLog("ERROR",
                  "Unable to connect to Tunneld. You can start one using:\n"
                  "sudo python3 -m pymobiledevice3 remote tunneld");
            return std::nullopt;
        }
        if (body.find('"') == std::string::npos) {
            pyLog("ERROR", "Device is not connected");
            return std::nullopt;
        }
        if (!named.empty() && body.find("\"" + named + "\"") == std::string::npos) {
            pyLog("ERROR", "Device not found: " + named);
            return std::nullopt;
        }
        std::string udid = named;
        if (udid.empty()) {
            const std::vector<std::string> listed = tunneldUdids(body);
            if (listed.size() > 1) {
                std::vector<std::string> candidates;
                for (const std::string &u : listed)
                    candidates.push_back(tunnelCandidate(u));
                status = choiceRefused(candidates);
                return std::nullopt;
            }
            udid = listed.empty() ? std::string() : listed.front();
        }
        return Reached {udid, "tunneld:" + std::to_string(pidFrom("tunneld.pid"))};
    }
    // --userspace: a tunnel of its own, over usbmuxd and CoreDeviceProxy (iOS 17.4 and later).
    if (!usbmuxdRuns()) {
        pyLog("ERROR", "Failed to connect to usbmuxd socket. Make sure it's running.");
        return std::nullopt;
    }
    if (const std::vector<std::string> phones = attachedPhones();
        options.udid.empty() && phones.size() > 1) {
        std::vector<std::string> candidates;
        for (const std::string &u : phones)
            candidates.push_back(lockdownCandidate(u));
        status = choiceRefused(candidates);
        return std::nullopt;
    }
    const std::string udid = targetPhone(options.udid);
    if (udid.empty()) {
        pyLog("ERROR",
              options.udid.empty() ? "Device is not connected"
                                   : "Device not found: " + options.udid);
        return std::nullopt;
    }
    actsOn(udid);
    if (condition(udid) == "untrusted" || condition(udid) == "pairing-pending")
        waitForTrust();
    if (const std::string refusal = lockdownRefusal(udid); !refusal.empty()) {
        pyLog("ERROR", refusal);
        return std::nullopt;
    }
    if (version(udid) < std::vector<int> {17, 4, 0}) {
        pyLog("ERROR",
              "no-root userspace tunnel unavailable: the device exposes no CoreDeviceProxy "
              "lockdown service (needs iOS 17.4+) and no RemotePairing service was found "
              "over bonjour. Enable Wi-Fi for the device and host on the same network, or "
              "run a privileged kernel tunnel via `pymobiledevice3 remote tunneld`.");
        return std::nullopt;
    }
    return Reached {udid, "userspace"};
}

int simulateLocation(const Args &args)
{
    const std::string verb = args.size() > 3 ? args[3] : std::string();
    const std::string usage = "developer dvt simulate-location " + verb + " [OPTIONS]"
        + (verb == "set"        ? " LATITUDE LONGITUDE"
               : verb == "play" ? " FILENAME"
                                : "");
    const auto fault = faultFor("pymobiledevice3", verb);
    if (auto status = applyLeadingFault(fault))
        return *status;
    if (verb != "set" && verb != "clear" && verb != "play")
        return usageError("developer dvt simulate-location [OPTIONS] COMMAND [ARGS]...",
                          "No such command '" + verb + "'.");
    const DeviceOptions options = deviceOptions(args, 4);
    if (!options.usageError.empty())
        return usageError(usage, options.usageError);
    const size_t wanted = verb == "set" ? 2 : verb == "play" ? 1 : 0;
    if (options.positional.size() != wanted)
        return usageError(usage,
                          options.positional.size() < wanted ? "Missing argument."
                                                             : "Got unexpected extra argument.");
    if (verb == "play" && !readWholeFile(options.positional[0]))
        return usageError(usage,
                          "Invalid value for 'FILENAME': File '" + options.positional[0]
                              + "' does not exist.");
    // With --userspace, pymobiledevice3 ends with os._exit(0), whatever happened.
    const auto exitStatus = [&options](int status) { return options.userspace ? 0 : status; };

    int status = 0; // handled errors exit 0
    const std::optional<Reached> reached = reach(options, status);
    if (!reached)
        return status;
    const std::string &udid = reached->udid;
    actsOn(udid);
    if (const std::string refusal = developerRefusal(udid); !refusal.empty()) {
        pyLog("ERROR", refusal);
        return 0;
    }
    if (verb == "clear") {
        // stopLocationSimulation goes without waiting for a reply; nothing is printed.
        clearLocation(udid);
        return 0;
    }
    installInterruptHandler();
    if (verb == "set") {
        setLocation(udid, options.positional[0], options.positional[1], reached->via);
    } else {
        // Paced like the real tool: it waits only between two points that both carry a time.
        std::optional<long long> last;
        bool first = true;
        for (const GpxPoint &point : gpxPoints(*readWholeFile(options.positional[0]))) {
            if (!first && last && point.ms && *point.ms >= *last) {
                char wait[32];
                std::snprintf(wait, sizeof(wait), "%.3f",
                              static_cast<double>(*point.ms - *last) / 1000.0);
                pyLog("INFO", std::string("waiting for ") + wait + "s", "LocationSimulation");
                if (!waitUnlessTerminated(static_cast<double>(*point.ms - *last)))
                    break;
            }
            if (g_terminated)
                break;
            first = false;
            last = point.ms;
            pyLog("INFO", "set location to " + point.latitude + " " + point.longitude,
                  "LocationSimulation");
            setLocation(udid, point.latitude, point.longitude, reached->via);
        }
        if (g_terminated) {
            // Interrupted while playing: KeyboardInterrupt, exit 130.
            clearLocation(udid);
            return exitStatus(130);
        }
    }
    if (fault && fault->kind == "exit-early")
        return 0;
    waitReturn(fault);
    // The connection closes as the command returns: iOS 17 drops the location with it.
    if (phone(udid)["locationOwner"] == std::to_string(getpid()))
        clearLocation(udid);
    return exitStatus(0);
}

// ---- tunneld ----

struct TunneldState
{
    std::map<std::string, bool> tunnels; // UDID → up
    std::vector<std::string> seen; // the phones usbmuxd listed at the last look
};

// Makes a tunnel to the phone, as tunneld does when usbmuxd reports it or /start-tunnel asks.
// Lockdown refusals are skipped without a word: a phone locked when it arrived is tried again
// only at the next usbmuxd event.
bool makeTunnel(TunneldState &state, const std::string &udid)
{
    if (!isAttached(udid) || majorVersion(udid) < 17 || lockdownRefuses(udid))
        return false;
    if (auto fault = faultFor("pymobiledevice3", "tunnel"); fault && fault->kind == "slow")
        sleepMs(fault->parameter);
    state.tunnels[udid] = true;
    return true;
}

std::string tunnelList(const TunneldState &state)
{
    std::string json = "{";
    for (const auto &[udid, up] : state.tunnels) {
        if (!up)
            continue;
        if (json.size() > 1)
            json += ", ";
        json += "\"" + udid
            + "\": [{\"tunnel-address\": \"fd00::1\", \"tunnel-port\": 58783, \"interface\": "
              "\"utun4\"}]";
    }
    return json + "}";
}

[[noreturn]] void serveTunneld(int listener, bool httpError)
{
    TunneldState state;
    while (!g_terminated) {
        std::error_code error;
        if (!fs::exists(g_state / "kit", error))
            break;
        // usbmuxd events: at each (a phone came or went) every phone without a tunnel is tried
        // once; one that leaves loses its tunnel.
        const std::vector<std::string> now = attachedPhones();
        if (now != state.seen) {
            for (const std::string &udid : now) {
                if (!state.tunnels[udid])
                    makeTunnel(state, udid);
            }
        }
        for (auto &[udid, up] : state.tunnels) {
            if (std::find(now.begin(), now.end(), udid) == now.end())
                up = false;
        }
        state.seen = now;
        bool shutdown = false;
        serveOne(listener, 250, [&](const Request &request) -> Response {
            if (httpError)
                return {"500 Internal Server Error", "application/json", "error"};
            if (request.path == "/")
                return {"200 OK", "application/json", tunnelList(state)};
            if (request.path == "/hello")
                return {"200 OK", "application/json", "{\"message\": \"Hello, I'm alive\"}"};
            if (request.path == "/start-tunnel") {
                const std::string udid = queryValue(request.query, "udid");
                if (state.tunnels[udid] || makeTunnel(state, udid))
                    return {
                        "200 OK", "application/json",
                        "{\"interface\": \"utun4\", \"port\": 58783, \"address\": \"fd00::1\"}"};
                return {"404 Not Found", "application/json",
                        "{\"error\": \"something went wrong during tunnel creation\"}"};
            }
            if (request.path == "/shutdown") {
                shutdown = true;
                return {"200 OK", "application/json",
                        "{\"operation\": \"shutdown\", \"data\": true, \"message\": \"Server "
                        "shutting down...\"}"};
            }
            return {"404 Not Found", "application/json", "{\"detail\":\"Not Found\"}"};
        });
        if (shutdown)
            break;
    }
    std::error_code ignored;
    fs::remove(g_state / "tunneld.pid", ignored);
    _exit(0);
}

int tunneld(const Args &args)
{
    const auto fault = faultFor("pymobiledevice3", "tunneld");
    if (fault && fault->kind != "slow" && fault->kind != "http-error") {
        if (auto status = applyLeadingFault(fault))
            return *status;
    }
    if (!privileged()) {
        pyLog("ERROR", "This command requires root privileges. Consider retrying with \"sudo\".");
        return 0;
    }
    const bool daemonize = std::find(args.begin(), args.end(), "-d") != args.end()
        || std::find(args.begin(), args.end(), "--daemonize") != args.end();
    if (daemonize) {
        const pid_t child = ::fork();
        if (child < 0) {
            sayError("ERROR: fork failed\n");
            return 1;
        }
        if (child > 0)
            return 0; // detached: the caller's script ends at once
        becomeDaemon();
    }
    installTerminateHandler();
    if (fault && fault->kind == "slow")
        sleepMs(fault->parameter);
    const int listener = listenOn(tunnelPort());
    if (listener < 0) {
        pyLog("ERROR",
              std::string("[Errno 98] error while attempting to bind on address "
                          "('127.0.0.1', ")
                  + std::to_string(tunnelPort()) + "): " + std::strerror(errno));
        _exit(1);
    }
    std::ofstream(g_state / "tunneld.pid") << getpid() << '\n';
    serveTunneld(listener, fault && fault->kind == "http-error");
}

// mounter auto-mount and amfi reveal-developer-mode, over lockdown (no tunnel needed).
int lockdownCommand(const Args &args)
{
    if (auto status = applyLeadingFault(faultFor("pymobiledevice3", args[0])))
        return *status;
    const DeviceOptions options = deviceOptions(args, 2);
    if (!usbmuxdRuns()) {
        pyLog("ERROR", "Failed to connect to usbmuxd socket. Make sure it's running.");
        return 0;
    }
    if (const std::vector<std::string> phones = attachedPhones();
        options.udid.empty() && phones.size() > 1) {
        // Before asking, it opens (and pairs) a lockdown client to each of them.
        std::vector<std::string> candidates;
        for (const std::string &u : phones) {
            if (condition(u) == "untrusted" || condition(u) == "pairing-pending")
                waitForTrust();
            candidates.push_back(lockdownCandidate(u));
        }
        return choiceRefused(candidates);
    }
    const std::string udid = targetPhone(options.udid);
    if (udid.empty()) {
        pyLog("ERROR",
              options.udid.empty() ? "Device is not connected"
                                   : "Device not found: " + options.udid);
        return 0;
    }
    actsOn(udid);
    if (const std::string refusal = lockdownRefusal(udid); !refusal.empty()) {
        pyLog("ERROR", refusal);
        return 0;
    }
    if (condition(udid) == "untrusted" || condition(udid) == "pairing-pending")
        waitForTrust();
    if (args[0] == "mounter") {
        if (condition(udid) == "devmode-off") {
            pyLog("ERROR",
                  "Developer Mode is disabled. You can try to enable it using: python3 -m "
                  "pymobiledevice3 amfi enable-developer-mode");
            return 0;
        }
        if (condition(udid) != "no-image") {
            pyLog("ERROR", "DeveloperDiskImage already mounted", "pymobiledevice3.cli.mounter");
            return 0;
        }
        updatePhone(udid, {{"condition", ""}});
        pyLog("INFO", "DeveloperDiskImage mounted successfully", "pymobiledevice3.cli.mounter");
        return 0;
    }
    updatePhone(udid, {{"devmodeRevealed", "1"}});
    return 0;
}

} // namespace

int pymobiledevice3(const Args &args)
{
    if (args.size() >= 2 && args[0] == "remote" && args[1] == "tunneld")
        return tunneld(args);
    if (args.size() >= 2
        && ((args[0] == "mounter" && args[1] == "auto-mount")
            || (args[0] == "amfi" && args[1] == "reveal-developer-mode")))
        return lockdownCommand(args);
    if (args.size() >= 3 && args[0] == "developer" && args[1] == "dvt"
        && args[2] == "simulate-location")
        return simulateLocation(args);
    return usageError("[OPTIONS] COMMAND [ARGS]...",
                      "No such command '" + (args.empty() ? std::string() : args[0]) + "'.");
}

} // namespace sim
