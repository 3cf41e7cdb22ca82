// go-ios 1.2.0's "ios": the tunnel agent ("tunnel start", userspace or kernel), "setlocation",
// "resetlocation", "setlocationgpx", "image auto", "devmode reveal", "list", "version".
#include "Kit.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace sim {

namespace {

std::string jsonEscaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// go-ios's log: one JSON object per line on standard error, "err" for exitIfError's errors and
// "error" for the library's warnings, "udid" where a phone is named.
void goLog(const std::string &level, const std::string &message, const std::string &err = {},
           const std::string &udid = {}, const char *errKey = "err", const char *module = nullptr)
{
    std::string line = "{\"time\":\"2026-01-01T00:00:00Z\",\"level\":\"" + level + "\",\"msg\":\""
        + jsonEscaped(message) + "\"";
    if (module)
        line += ",\"module\":\"" + std::string(module) + "\"";
    if (!udid.empty())
        line += ",\"udid\":\"" + jsonEscaped(udid) + "\"";
    if (!err.empty())
        line += ",\"" + std::string(errKey) + "\":\"" + jsonEscaped(err) + "\"";
    sayError(line + "}\n");
}

const char *const kNoUsbmuxd = "dial unix /var/run/usbmuxd: connect: no such file or directory";

// How go-ios words a phone that refuses lockdown: the phone's own error name inside its text.
std::optional<std::string>
lockdownRefusal(const std::string &udid,
                const std::string &service = "com.apple.internal.devicecompute.CoreDeviceProxy")
{
    const std::string c = condition(udid);
    if (c == "locked")
        return "Could not start service:" + service
            + " with reason:'PasswordProtected'. Have you mounted the Developer Image?";
    if (c == "untrusted")
        return "could not retrieve PairRecord with error: ReadPair failed with errorcode '2', is "
               "the device paired?";
    if (c == "pairing-pending") // not paired yet: no pair record
        return "could not retrieve PairRecord with error: ReadPair failed with errorcode '2', is "
               "the device paired?";
    return std::nullopt;
}

std::string option(const Args &args, const std::string &name)
{
    const std::string prefix = "--" + name + "=";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind(prefix, 0) == 0)
            return args[i].substr(prefix.size());
        if (args[i] == "--" + name && i + 1 < args.size())
            return args[i + 1];
    }
    return {};
}

bool hasWord(const Args &args, const std::string &word)
{
    return std::find(args.begin(), args.end(), word) != args.end();
}

int agentPortOf(const Args &args)
{
    const std::string port = option(args, "tunnel-info-port");
    if (!port.empty())
        return std::atoi(port.c_str());
    // Without the option go-ios asks GO_IOS_AGENT_PORT, else its default 60105 (its help says
    // 28100, its code says otherwise).
    const char *variable = std::getenv("GO_IOS_AGENT_PORT");
    return variable && *variable ? std::atoi(variable) : 60105;
}

// The phone a device command names: --udid, else GO_IOS_UDID; empty for "the first".
std::string namedPhone(const Args &args)
{
    const std::string udid = option(args, "udid");
    const char *variable = std::getenv("GO_IOS_UDID");
    return !udid.empty() || !variable ? udid : variable;
}

// ios.GetDevice: the phone named, else the one the variable "udid" names (which `named` becomes),
// else the first in usbmuxd's list; "" when there is none, or the one named is not there.
std::string resolvePhone(std::string &named)
{
    const char *variable = std::getenv("udid");
    if (named.empty() && variable && *variable) {
        named = variable;
        goLog("INFO", "using udid from env.udid variable", {}, named, "err", "go-ios");
    }
    const std::string udid = targetPhone(named);
    if (named.empty() && !udid.empty())
        goLog("INFO", "no udid specified using first device in list", {}, udid, "err", "go-ios");
    return udid;
}

// ---- the agent ----

struct FailedPhone
{
    std::chrono::steady_clock::time_point lastAttempt;
    int failCount = 0;
};

// 30 s after the first failure, then 60, 120, 240, and 300 s from then on.
std::chrono::seconds backOff(int failCount)
{
    return std::chrono::seconds(30 * (1 << std::min(std::max(failCount - 1, 0), 4)));
}

struct Agent
{
    bool userspace = true;
    std::string onlyUdid; // --udid: this phone only
    int port = 0;
    int portOffset = 1; // the userspace port of the next attempt: port + offset
    std::map<std::string, int> tunnels; // UDID → userspace port of its tunnel
    std::map<std::string, FailedPhone> failed;
};

// One attempt to make a phone's tunnel, logged as go-ios logs it.
void startTunnel(Agent &agent, const std::string &udid)
{
    const int userspacePort = agent.port + agent.portOffset++;
    goLog("INFO", "start tunnel", {}, udid, "err", "go-ios/tunnel");
    std::optional<std::string> error = lockdownRefusal(udid);
    // Without a pair record the version lookup, the attempt's first step, fails.
    if (error && condition(udid) != "locked")
        error = "startTunnel: failed to get device version: " + *error;
    const std::vector<int> v = version(udid);
    if (!error && v[0] < 17)
        error = "manualPairingTunnelStart: unsupported iOS version " + phone(udid)["ios"];
    else if (!error && v <= std::vector<int> {17, 4, 0} && agent.userspace)
        error = "manualPairingTunnelStart: userspaceTUN not supported for iOS >=17 and < 17.4";
    if (error) {
        goLog("WARN", "failed to start tunnel", *error, udid, "error", "go-ios/tunnel");
        FailedPhone &failure = agent.failed[udid];
        failure.lastAttempt = std::chrono::steady_clock::now();
        ++failure.failCount;
        return;
    }
    agent.failed.erase(udid);
    agent.tunnels[udid] = userspacePort;
}

// UpdateTunnels, once a second: a phone without a tunnel is tried unless it is backing off; one
// that left loses its tunnel and its back-off.
void updateTunnels(Agent &agent)
{
    if (!usbmuxdRuns()) {
        for (const auto &tunnel : agent.tunnels) {
            goLog("INFO", "stopping tunnel due to device list error", {}, tunnel.first, "err",
                  "go-ios/tunnel");
            goLog("INFO", "stopping tunnel", {}, tunnel.first, "err", "go-ios/tunnel");
        }
        goLog("WARN", "failed to update tunnels",
              std::string("UpdateTunnels: failed to get list of devices: ") + kNoUsbmuxd, {},
              "error");
        agent.tunnels.clear();
        return;
    }
    // The phones are tried one after the other, in usbmuxd's order.
    const std::vector<std::string> phones = attachedPhones();
    for (auto it = agent.tunnels.begin(); it != agent.tunnels.end();) {
        if (std::find(phones.begin(), phones.end(), it->first) == phones.end()) {
            goLog("INFO", "stopping tunnel", {}, it->first, "err", "go-ios/tunnel");
            it = agent.tunnels.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = agent.failed.begin(); it != agent.failed.end();) {
        if (std::find(phones.begin(), phones.end(), it->first) == phones.end())
            it = agent.failed.erase(it);
        else
            ++it;
    }
    for (const std::string &udid : phones) {
        if (!agent.onlyUdid.empty() && udid != agent.onlyUdid)
            continue;
        if (agent.tunnels.count(udid))
            continue;
        const auto failure = agent.failed.find(udid);
        if (failure != agent.failed.end()
            && std::chrono::steady_clock::now() - failure->second.lastAttempt
                < backOff(failure->second.failCount))
            continue;
        startTunnel(agent, udid);
    }
}

Response agentAnswer(const Agent &agent, const Request &request, bool &shutdown)
{
    if (request.path == "/health")
        return {"200 OK", "text/plain", ""};
    if (request.path == "/tunnels") {
        std::string json = "[";
        for (const auto &[udid, port] : agent.tunnels) {
            if (json.size() > 1)
                json += ",";
            json += "{\"address\":\"fd00::1\",\"rsdPort\":58783,\"udid\":\"" + udid
                + "\",\"userspaceTun\":" + (agent.userspace ? "true" : "false")
                + ",\"userspaceTunPort\":" + std::to_string(port) + "}";
        }
        return {"200 OK", "application/json", json + "]\n"};
    }
    if (request.path.rfind("/tunnel/", 0) == 0) {
        const std::string udid = request.path.substr(8);
        if (udid.empty())
            return {"400 Bad Request", "text/plain; charset=utf-8", "missing udid"};
        const auto tunnel = agent.tunnels.find(udid);
        if (tunnel == agent.tunnels.end())
            return {"404 Not Found", "text/plain; charset=utf-8", "tunnel not found\n"};
        return {"200 OK", "application/json",
                "{\"address\":\"fd00::1\",\"rsdPort\":58783,\"udid\":\"" + udid
                    + "\",\"userspaceTun\":" + (agent.userspace ? "true" : "false")
                    + ",\"userspaceTunPort\":" + std::to_string(tunnel->second) + "}\n"};
    }
    if (request.path == "/shutdown") {
        shutdown = true;
        return {"200 OK", "text/plain", "shutting down in 1 second..."};
    }
    return {"404 Not Found", "text/plain; charset=utf-8", "404 page not found\n"};
}

// "ios tunnel start": stays in the foreground and serves the agent's port. It has no signal
// handler: SIGINT and SIGTERM end it at once; only GET /shutdown makes it exit 0.
int tunnelStart(const Args &args)
{
    if (auto status = applyLeadingFault(faultFor("ios", "tunnel")))
        return *status;
    Agent agent;
    agent.userspace = hasWord(args, "--userspace");
    agent.onlyUdid = namedPhone(args);
    // The device lookup every command makes; the agent ignores its outcome.
    if (std::string named = namedPhone(args); usbmuxdRuns())
        resolvePhone(named);
    agent.port = agentPortOf(args);
    if (!agent.userspace && !privileged()) {
        goLog("ERROR",
              "If --userspace is not set, we need sudo, an admin shell on Windows, or "
              "CAP_NET_ADMIN on Linux",
              "this program needs root privileges or CAP_NET_ADMIN. Run with sudo, or grant "
              "CAP_NET_ADMIN to the process (e.g. via setcap or container cap_add).");
        return 1;
    }
    if (agent.userspace)
        goLog("INFO", "Using userspace networking");
    const std::string records = option(args, "pair-record-path");
    std::error_code error;
    if (!fs::is_directory(records.empty() ? "." : records, error)) {
        goLog("ERROR", "could not creat pair record manager",
              "NewPairRecordManager: failed to get self identity: createSelfIdentity: failed to "
              "open file for writing: open "
                  + records + "/selfIdentity.plist: no such file or directory");
        return 1;
    }
    const int listener = listenOn(agent.port);
    if (listener < 0) {
        goLog("ERROR", "failed to start tunnel server",
              std::string("listen tcp 127.0.0.1:") + std::to_string(agent.port)
                  + ": bind: " + std::strerror(errno));
        return 1;
    }
    installTerminateHandler();
    std::ofstream(g_state / "agent.pid") << getpid() << '\n';
    if (!agent.onlyUdid.empty())
        goLog("INFO", "restricting tunnel agent to a single device", {}, agent.onlyUdid);
    goLog("INFO", "Tunnel server started");
    auto nextUpdate = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    bool shutdown = false;
    while (!g_terminated && !shutdown) {
        std::error_code gone;
        if (!fs::exists(g_state / "kit", gone))
            break;
        if (std::chrono::steady_clock::now() >= nextUpdate) {
            updateTunnels(agent);
            nextUpdate = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        }
        serveOne(listener, 100,
                 [&](const Request &request) { return agentAnswer(agent, request, shutdown); });
    }
    std::error_code ignored;
    if (pidFrom("agent.pid") == getpid())
        fs::remove(g_state / "agent.pid", ignored);
    if (g_terminated) {
        // No handler of its own: the signal ends it as a signal.
        signal(g_signal, SIG_DFL);
        raise(g_signal);
    }
    return 0;
}

} // namespace

int goIos(const Args &args)
{
    const std::string verb = args.empty() ? std::string() : args[0];
    static const char *const kUsage =
        "Usage:\n  ios --version | version [options]\n  ios -h | --help\n";
    if (verb == "version" || verb == "--version") {
        say("{\"version\":\"1.2.0\"}\n");
        return 0;
    }
    // docopt refuses what it does not know before anything is logged.
    for (const std::string &arg : args) {
        if (arg.rfind("--", 0) == 0) {
            const std::string name = arg.substr(
                2, arg.find('=') == std::string::npos ? std::string::npos : arg.find('=') - 2);
            static const std::vector<std::string> known {
                "udid",          "tunnel-info-port", "tunnel-info-host",
                "userspace",     "pair-record-path", "lat",
                "lon",           "gpxfilepath",      "basedir",
                "nojson",        "pretty",           "verbose",
                "details",       "address",          "rsd-port",
                "userspace-port"};
            if (std::find(known.begin(), known.end(), name) == known.end()) {
                sayError(kUsage);
                return 1;
            }
        }
    }
    // Every command asks first whether go-ios's agent runs, at GO_IOS_AGENT_PORT (or 60105).
    {
        const char *variable = std::getenv("GO_IOS_AGENT_PORT");
        const int port = variable && *variable ? std::atoi(variable) : 60105;
        if (httpGet(port, "/health", 500).first != 200)
            goLog("WARN",
                  "go-ios agent is not running. You might need to start it with 'ios "
                  "tunnel start' for ios17+. Use ENABLE_GO_IOS_AGENT=user for userspace "
                  "tunnel or ENABLE_GO_IOS_AGENT=kernel for kernel tunnel for the "
                  "experimental daemon mode.");
    }
    if (verb == "tunnel" && args.size() >= 2 && args[1] == "start")
        return tunnelStart(args);
    const std::string part = verb == "image" || verb == "devmode"
        ? verb + (args.size() >= 2 ? " " + args[1] : std::string())
        : verb;
    const auto fault = faultFor("ios", verb);
    if (auto status = applyLeadingFault(fault))
        return *status;
    if (verb == "list") {
        if (!usbmuxdRuns()) {
            goLog("ERROR", "failed getting device list", kNoUsbmuxd);
            return 1;
        }
        std::string list;
        for (const std::string &udid : attachedPhones())
            list += (list.empty() ? "\"" : ",\"") + udid + "\"";
        say("{\"deviceList\":[" + list + "]}\n");
        return 0;
    }
    const std::string named = namedPhone(args);
    if (!usbmuxdRuns()) {
        goLog("ERROR", "Device not found: " + named, kNoUsbmuxd);
        return 1;
    }
    std::string looked = named;
    const std::string udid = resolvePhone(looked);
    if (udid.empty()) {
        goLog("ERROR", "Device not found: " + named,
              looked.empty() ? "no iOS devices are attached to this host"
                             : "Device '" + looked + "' not found. Is it attached to the machine?");
        return 1;
    }
    actsOn(udid);
    const std::optional<std::string> refusal = lockdownRefusal(udid);
    const int port = agentPortOf(args);
    const bool needsTunnel = majorVersion(udid) >= 17;
    // Only the location commands (of those the kit knows) ask the agent for the phone's tunnel.
    const bool asksAgent =
        verb == "setlocation" || verb == "resetlocation" || verb == "setlocationgpx";
    const int tunnelStatus = asksAgent ? httpGet(port, "/tunnel/" + udid).first : 0;
    const bool viaTunnel = needsTunnel && tunnelStatus == 200;
    if (asksAgent && tunnelStatus != 200)
        goLog("WARN", "failed to get tunnel info", {}, udid);
    // The old location service, over lockdown: iOS 17 and later refuse it.
    const auto lockdownLocation = [&](const std::string &failure) -> bool {
        if (refusal || needsTunnel || condition(udid) == "no-image"
            || condition(udid) == "devmode-off") {
            goLog("ERROR", failure,
                  refusal ? *refusal
                          : "Could not start service:com.apple.dt.simulatelocation with "
                            "reason:'InvalidService'. Have you mounted the Developer Image?");
            return false;
        }
        return true;
    };
    if (verb == "setlocation") {
        const std::string lat = option(args, "lat");
        const std::string lon = option(args, "lon");
        if (!viaTunnel) {
            if (!lockdownLocation("Setting location failed with"))
                return 1;
            goLog("INFO", "Simulating device location", {}, udid);
            setLocation(udid, lat, lon);
            return exitStatusFault(fault);
        }
        if (condition(udid) == "no-image" || condition(udid) == "devmode-off") {
            // Over the userspace tunnel the instruments service is simply not there: the
            // channel is never granted.
            goLog("ERROR", "failed requesting channel", "timeout waiting for response to message");
            goLog("ERROR", "location simulation failed to start with",
                  "timeout waiting for response to message");
            return 1;
        }
        // Holds until interrupted: SIGINT stops the simulation, then exits 0. Any other signal
        // ends it at once, without the stop.
        installInterruptHandler();
        const pid_t agentPid = pidFrom("agent.pid");
        setLocation(udid, lat, lon, "agent:" + std::to_string(agentPid));
        if (fault && fault->kind == "exit-early")
            return 0;
        while (!g_terminated)
            pause();
        // The stop goes to the phone and waits for its answer: with the agent gone (or the
        // "ios:stop" fault) it never comes.
        const auto stopFault = faultFor("ios", "stop");
        if (!processAlive(agentPid) || (stopFault && stopFault->kind == "exit-nonzero")) {
            goLog("ERROR", "location simulation failed to stop with",
                  "Timed out waiting for response for message:3 channel:1");
            return 1;
        }
        clearLocation(udid);
        return 0;
    }
    if (verb == "resetlocation" || verb == "setlocationgpx") {
        // Both speak the old lockdown service, whatever the version.
        if (!lockdownLocation(verb == "resetlocation" ? "Resetting location failed with"
                                                      : "Setting location failed with"))
            return 1;
        if (verb == "resetlocation") {
            clearLocation(udid);
            return 0;
        }
        const std::optional<std::string> gpx = readWholeFile(option(args, "gpxfilepath"));
        if (!gpx) {
            goLog("ERROR", "Setting location failed with", "open: no such file or directory");
            return 1;
        }
        installTerminateHandler();
        // go-ios sleeps the whole seconds between two points' times, and has no handler of its
        // own: a signal ends it as a signal.
        std::optional<long long> last;
        for (const GpxPoint &point : gpxPoints(*gpx)) {
            if (last) {
                if (!point.ms) {
                    goLog("ERROR", "Setting location failed with",
                          "parsing time \"\" as \"2006-01-02T15:04:05Z07:00\": cannot parse \"\" "
                          "as \"2006\"");
                    return 1;
                }
                const long long seconds = *point.ms / 1000 - *last / 1000;
                if (seconds > 0)
                    waitUnlessTerminated(static_cast<double>(seconds) * 1000);
            }
            if (g_terminated) {
                signal(g_signal, SIG_DFL);
                raise(g_signal);
                return 128 + g_signal;
            }
            last = point.ms;
            setLocation(udid, point.latitude, point.longitude);
        }
        return 0;
    }
    if (part == "image auto") {
        // go-ios logs a failure here and still exits 0.
        if (refusal) {
            goLog("ERROR", "error mounting image",
                  "failed connecting to image mounter: "
                      + *lockdownRefusal(udid, "com.apple.mobile.mobile_image_mounter"));
            return 0;
        }
        goLog("INFO", "success downloaded image");
        if (condition(udid) == "devmode-off") {
            goLog("ERROR", "error mounting image",
                  "failed connecting to image mounter: Could not start "
                  "service:com.apple.mobile.mobile_image_mounter with "
                  "reason:'DeveloperModeIsNotEnabled'. Have you mounted the Developer Image?");
            return 0;
        }
        if (condition(udid) == "no-image")
            updatePhone(udid, {{"condition", ""}});
        else
            goLog("WARN",
                  "there is already a developer image mounted, reboot the device if you "
                  "want to remove it. aborting.");
        goLog("INFO", "success mounting image");
        return exitStatusFault(fault);
    }
    if (part == "devmode reveal") {
        if (refusal) {
            goLog("ERROR", "Failed connecting to AMFI service",
                  *lockdownRefusal(udid, "com.apple.amfi.lockdown"));
            return 1;
        }
        updatePhone(udid, {{"devmodeRevealed", "1"}});
        goLog("INFO",
              "Developer Mode menu has been revealed on the device. Go to Settings → "
              "Privacy & Security → Developer Mode to enable it.");
        return 0;
    }
    sayError(kUsage);
    return 1;
}

} // namespace sim
