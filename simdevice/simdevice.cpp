// The simulated device kit: one program that stands in for "ideviceinfo", "idevice_id",
// "idevicesetlocation", "idevicepair", "pymobiledevice3" and go-ios's "ios", choosing its part by
// the name it was started as, plus a control command ("simdevice") that attaches, detaches, injects
// faults and shows what the device was told.
//
// The device lives in a state folder: SIMDEVICE_STATE when set, otherwise "simdevice-state"
// beside the tool. Every command received is appended to the folder's journal, every location
// applied to its track. SIMDEVICE_TIME_SCALE (default 1) divides the waits of a route's replay.

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

volatile sig_atomic_t g_terminated = 0;
volatile sig_atomic_t g_signal = 0;

void onTerminate(int signal)
{
    g_signal = signal;
    g_terminated = 1;
}

// ---- state folder -------------------------------------------------------------------------

fs::path g_state;

std::map<std::string, std::string> readKeyValues(const fs::path &file)
{
    std::map<std::string, std::string> values;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// Written through a temporary file and a rename, so a concurrent reader never sees half of it.
void writeKeyValues(const fs::path &file, const std::map<std::string, std::string> &values)
{
    const fs::path temporary = file.string() + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto &[key, value] : values)
            out << key << '=' << value << '\n';
    }
    fs::rename(temporary, file);
}

std::map<std::string, std::string> device()
{
    return readKeyValues(g_state / "device");
}

void updateDevice(const std::map<std::string, std::string> &changes)
{
    auto values = device();
    for (const auto &[key, value] : changes)
        values[key] = value;
    writeKeyValues(g_state / "device", values);
}

bool attached()
{
    return device()["attached"] == "1";
}

// What keeps the phone from answering, as "simdevice condition NAME" set it: locked, untrusted,
// pairing-pending, devmode-off, no-image, no-usbmuxd; empty for none.
std::string condition()
{
    return device()["condition"];
}

bool lockdownRefuses()
{
    const std::string c = condition();
    return c == "locked" || c == "untrusted" || c == "pairing-pending";
}

int agentPort()
{
    const std::string port = device()["agentPort"];
    return port.empty() ? 28100 : std::atoi(port.c_str());
}

int tunnelPort()
{
    const std::string port = device()["tunnelPort"];
    return port.empty() ? 49151 : std::atoi(port.c_str());
}

std::string quoteForJournal(const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" '\t\n") == std::string::npos)
        return arg;
    std::string quoted = "'";
    for (char c : arg)
        quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// One line per entry, appended with a single write so concurrent tools do not interleave.
void appendLine(const char *file, const std::string &line)
{
    const std::string entry = line + "\n";
    const int fd =
        ::open((g_state / file).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] const ssize_t written = ::write(fd, entry.data(), entry.size());
    ::close(fd);
}

void journal(const std::string &line)
{
    appendLine("journal", line);
}

// Every location the device was given, with the wall-clock time it got it, so tests can check
// the pace of a replayed route: "<ms since the epoch> <lat> <lon>" or "<ms> cleared".
void track(const std::string &entry)
{
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    appendLine("track", std::to_string(now.count()) + " " + entry);
}

void journalCommand(const std::string &tool, const Args &args)
{
    std::string line = tool;
    for (const auto &arg : args)
        line += " " + quoteForJournal(arg);
    journal(line);
}

// ---- faults -------------------------------------------------------------------------------

struct Fault
{
    std::string kind;
    long parameter = 0;
};

// A fault line is "<tool>[:<part>] <kind> [parameter]"; the most specific match wins.
std::optional<Fault> faultFor(const std::string &tool, const std::string &part)
{
    std::ifstream in(g_state / "faults");
    std::string line;
    std::optional<Fault> general;
    std::optional<Fault> specific;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string selector;
        Fault fault;
        if (!(words >> selector >> fault.kind))
            continue;
        words >> fault.parameter;
        if (selector == tool)
            general = fault;
        else if (!part.empty() && selector == tool + ":" + part)
            specific = fault;
    }
    return specific ? specific : general;
}

void say(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void sayError(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void sleepMs(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

[[noreturn]] void hangForever()
{
    for (;;)
        pause();
}

void printMegabyte()
{
    const std::string line(1023, 'x');
    for (int i = 0; i < 1024; ++i)
        say(line + "\n");
}

// Applies the faults that act before the tool does its work. Returns an exit status when the
// tool must stop here.
std::optional<int> applyLeadingFault(const std::optional<Fault> &fault)
{
    if (!fault)
        return std::nullopt;
    if (fault->kind == "slow")
        sleepMs(fault->parameter);
    else if (fault->kind == "hang")
        hangForever();
    else if (fault->kind == "huge")
        printMegabyte();
    else if (fault->kind == "exit-nonzero") {
        sayError("ERROR: simulated failure\n");
        return fault->parameter != 0 ? static_cast<int>(fault->parameter) : 1;
    } else if (fault->kind == "non-utf8") {
        say("ERROR: \xff\xfe simulated bad bytes \xc3\x28\n");
        return 1;
    }
    return std::nullopt;
}

// "exit-status N": the tool does its work as usual, then exits with N.
int exitStatusFault(const std::optional<Fault> &fault)
{
    return fault && fault->kind == "exit-status" ? static_cast<int>(fault->parameter) : 0;
}

// ---- holding a location ---------------------------------------------------------------------

void installTerminateHandler()
{
    struct sigaction action
    {
    };
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Stays until terminated, optionally chattering on stdout; returns when a signal came.
void holdUntilTerminated(const std::optional<Fault> &fault)
{
    if (fault && fault->kind == "ignore-term") {
        signal(SIGTERM, SIG_IGN);
        hangForever();
    }
    const bool chatty = fault && fault->kind == "chatty";
    long counter = 0;
    while (!g_terminated) {
        if (chatty) {
            say("tick " + std::to_string(counter++) + " " + std::string(200, '.') + "\n");
            sleepMs(1);
        } else {
            pause();
        }
    }
}

void setLocation(const std::string &latitude, const std::string &longitude)
{
    updateDevice(
        {{"location", latitude + " " + longitude}, {"locationOwner", std::to_string(getpid())}});
    journal("# location " + latitude + " " + longitude);
    track(latitude + " " + longitude);
}

void clearLocation()
{
    updateDevice({{"location", ""}, {"locationOwner", ""}});
    journal("# location cleared");
    track("cleared");
}

// ---- replaying a recorded route -------------------------------------------------------------

// SIMDEVICE_TIME_SCALE speeds up every wait of a replay, so tests need not take a route's time.
double timeScale()
{
    const char *text = std::getenv("SIMDEVICE_TIME_SCALE");
    if (!text || !*text)
        return 1;
    char *end = nullptr;
    const double scale = std::strtod(text, &end);
    return (*end == '\0' && std::isfinite(scale) && scale > 0) ? scale : 1;
}

// Waits in short slices so a signal ends the wait promptly; false when one came.
bool waitUnlessTerminated(double ms)
{
    using namespace std::chrono;
    const auto until = steady_clock::now()
        + duration_cast<steady_clock::duration>(duration<double, std::milli>(ms / timeScale()));
    while (!g_terminated) {
        const auto left = until - steady_clock::now();
        if (left <= steady_clock::duration::zero())
            break;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(left, milliseconds(10)));
    }
    return !g_terminated;
}

struct GpxPoint
{
    std::string latitude;
    std::string longitude;
    std::optional<long long> ms; // from <time>, milliseconds since the epoch
};

// "2026-12-07T10:00:05Z", optionally with a fraction of a second.
std::optional<long long> parseUtcTime(const std::string &text)
{
    std::tm fields {};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &fields.tm_year, &fields.tm_mon,
                    &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &consumed)
        != 6)
        return std::nullopt;
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    long long ms = static_cast<long long>(timegm(&fields)) * 1000;
    size_t at = static_cast<size_t>(consumed);
    if (at < text.size() && text[at] == '.') {
        long long scale = 100;
        for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
            ms += (text[at] - '0') * scale;
            scale /= 10;
        }
    }
    if (at >= text.size() || text[at] != 'Z')
        return std::nullopt;
    return ms;
}

std::vector<GpxPoint> gpxPoints(const std::string &text)
{
    std::vector<GpxPoint> points;
    for (size_t at = text.find("<trkpt"); at != std::string::npos;) {
        const size_t next = text.find("<trkpt", at + 1);
        const std::string element = text.substr(at, next == std::string::npos ? next : next - at);
        const auto attribute = [&](const std::string &name) {
            const size_t from = element.find(name + "=\"");
            return from == std::string::npos
                ? std::string()
                : element.substr(from + name.size() + 2,
                                 element.find('"', from + name.size() + 2) - from - name.size()
                                     - 2);
        };
        GpxPoint point {attribute("lat"), attribute("lon"), std::nullopt};
        const size_t time = element.find("<time>");
        const size_t ends = element.find("</trkpt>");
        const size_t tagEnd = element.find('>');
        const bool empty = tagEnd != std::string::npos && tagEnd > 0 && element[tagEnd - 1] == '/';
        if (!empty && time != std::string::npos && (ends == std::string::npos || time < ends))
            point.ms =
                parseUtcTime(element.substr(time + 6, element.find("</time>", time) - time - 6));
        points.push_back(point);
        at = next;
    }
    return points;
}

std::optional<std::string> readWholeFile(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- the tools ------------------------------------------------------------------------------

const char *const kNoDevice = "ERROR: No device found!\n";

// libimobiledevice's words for a refusing lockdownd (lockdownd_strerror and the error code).
std::string lockdownError()
{
    const std::string c = condition();
    if (c == "locked")
        return "Password protected (-17)";
    if (c == "pairing-pending")
        return "Pairing dialog response pending (-19)";
    return "Invalid host ID (-21)";
}

int ideviceinfo(const Args &args)
{
    std::string key;
    if (args.size() == 2 && args[0] == "-k")
        key = args[1];
    const auto fault = faultFor("ideviceinfo", key);
    if (auto status = applyLeadingFault(fault))
        return *status;
    if (!attached() || condition() == "no-usbmuxd") {
        sayError(kNoDevice);
        return 255;
    }
    if (lockdownRefuses()) {
        sayError("ERROR: Could not connect to lockdownd: " + lockdownError() + "\n");
        return 255;
    }
    auto d = device();
    const std::map<std::string, std::string> values {
        {"ActivationState", "Activated"},
        {"DeviceClass", "iPhone"},
        {"DeviceName", d["name"].empty() ? "Simulated iPhone" : d["name"]},
        {"ProductType", d["product"]},
        {"ProductVersion", d["ios"]},
        {"SerialNumber", d["serial"]},
        {"UniqueDeviceID", d["udid"]},
    };
    if (!key.empty()) {
        const auto found = values.find(key);
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
        sayError("Usage: idevice_id -l\n");
        return 2;
    }
    if (fault && fault->kind == "blank") {
        say("\n\n");
        return 0;
    }
    if (condition() == "no-usbmuxd") {
        sayError("ERROR: Unable to retrieve device list!\n");
        return 1;
    }
    if (attached())
        say(device()["udid"] + "\n");
    return exitStatusFault(fault);
}

int idevicesetlocation(const Args &args)
{
    const bool reset = args.size() == 1 && args[0] == "reset";
    const auto fault = faultFor("idevicesetlocation", reset ? "reset" : "set");
    if (auto status = applyLeadingFault(fault))
        return *status;
    if (!attached()) {
        sayError("ERROR: Device 00000000 not found!\n");
        return 1;
    }
    if (lockdownRefuses()) {
        say("ERROR: Could not connect to lockdownd: " + lockdownError() + "\n");
        return 1;
    }
    if (condition() == "no-image" || condition() == "devmode-off") {
        say("ERROR: Could not start the simulatelocation service: Invalid service\n"
            "Make sure a developer disk image is mounted!\n");
        return 1;
    }
    if (reset) {
        clearLocation();
        return 0;
    }
    if (args.size() != 3 || args[0] != "--") {
        sayError("Usage: idevicesetlocation [OPTIONS] -- LATITUDE LONGITUDE\n");
        return 2;
    }
    installTerminateHandler();
    setLocation(args[1], args[2]);
    // The stock tool sends the location and leaves; "hold" is a patched one that stays.
    if (device()["setlocationMode"] == "stock")
        return exitStatusFault(fault);
    if (fault && fault->kind == "exit-early")
        return 0;
    holdUntilTerminated(fault);
    journal("# idevicesetlocation ended");
    return 0;
}

bool tunnelAnswers()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(tunnelPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        const char request[] = "GET / HTTP/1.0\r\n\r\n";
        if (::write(fd, request, sizeof(request) - 1) > 0) {
            char buffer[16];
            pollfd p {fd, POLLIN, 0};
            ok = ::poll(&p, 1, 2000) > 0 && ::read(fd, buffer, sizeof(buffer)) > 0;
        }
    }
    ::close(fd);
    return ok;
}

// The tunnel daemon: answers every request with a small HTTP response until it is stopped or
// its state folder disappears.
[[noreturn]] void serveTunnel(int listener, bool httpError)
{
    const std::string body = httpError ? "error" : "{}";
    const std::string response =
        std::string(httpError ? "HTTP/1.1 500 Internal Server Error" : "HTTP/1.1 200 OK")
        + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
    while (!g_terminated) {
        std::error_code error;
        if (!fs::exists(g_state / "device", error))
            break;
        pollfd p {listener, POLLIN, 0};
        if (::poll(&p, 1, 250) <= 0)
            continue;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        char buffer[2048];
        pollfd c {client, POLLIN, 0};
        if (::poll(&c, 1, 1000) > 0 && ::read(client, buffer, sizeof(buffer)) > 0) [[maybe_unused]]
            const ssize_t sent = ::write(client, response.data(), response.size());
        ::close(client);
    }
    std::error_code ignored;
    fs::remove(g_state / "tunneld.pid", ignored);
    _exit(0);
}

int startTunnelDaemon(const std::optional<Fault> &fault)
{
    const pid_t child = ::fork();
    if (child < 0) {
        sayError("ERROR: fork failed\n");
        return 1;
    }
    if (child > 0)
        return 0; // detached: the caller's script ends at once
    ::setsid();
    installTerminateHandler();
    if (fault && fault->kind == "slow")
        sleepMs(fault->parameter);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(tunnelPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(listener, 16) != 0) {
        sayError(std::string("ERROR: tunneld cannot listen: ") + std::strerror(errno) + "\n");
        _exit(1);
    }
    std::ofstream(g_state / "tunneld.pid") << getpid() << '\n';
    // Keep no descriptor of the caller's: whoever waits for our output must not wait for us.
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    serveTunnel(listener, fault && fault->kind == "http-error");
}

// pymobiledevice3's messages for each condition (its command-line entry's error lines).
bool pymobiledevice3Refuses(bool needsImage)
{
    const std::string c = condition();
    std::string message;
    if (c == "locked")
        message = "Device is password protected. Please unlock and retry";
    else if (c == "untrusted")
        message = "Device is not paired";
    else if (c == "pairing-pending")
        message = "Waiting for user dialog approval";
    else if (c == "no-usbmuxd")
        message = "Failed to connect to usbmuxd socket. Make sure it's running.";
    else if (c == "devmode-off")
        message = "Developer Mode is disabled. You can try to enable it using: python3 -m "
                  "pymobiledevice3 amfi enable-developer-mode";
    else if (c == "no-image" && needsImage)
        message = "Failed to start service. Possible reasons are:\n"
                  "    - Make sure the DeveloperDiskImage/PersonalizedImage is mounted via:\n"
                  "      > python3 -m pymobiledevice3 mounter auto-mount";
    if (message.empty())
        return false;
    sayError("ERROR " + message + "\n");
    return true;
}

int pymobiledevice3(const Args &args)
{
    if (args.size() == 3 && args[0] == "remote" && args[1] == "tunneld" && args[2] == "-d") {
        const auto fault = faultFor("pymobiledevice3", "tunneld");
        if (fault && fault->kind != "slow" && fault->kind != "http-error") {
            if (auto status = applyLeadingFault(fault))
                return *status;
        }
        return startTunnelDaemon(fault);
    }
    if (args.size() >= 2
        && ((args[0] == "mounter" && args[1] == "auto-mount")
            || (args[0] == "amfi" && args[1] == "reveal-developer-mode"))) {
        if (auto status = applyLeadingFault(faultFor("pymobiledevice3", args[0])))
            return *status;
        if (!attached() || pymobiledevice3Refuses(args[0] == "mounter"))
            return 1;
        if (args[0] == "mounter") {
            updateDevice({{"condition", ""}});
            sayError("INFO DeveloperDiskImage mounted successfully\n");
        } else {
            updateDevice({{"devmodeRevealed", "1"}});
        }
        return 0;
    }
    const bool isSimulate = args.size() >= 6 && args[0] == "developer" && args[1] == "dvt"
        && args[2] == "simulate-location" && args[4] == "--tunnel";
    if (!isSimulate) {
        sayError("Usage: pymobiledevice3 developer dvt simulate-location set|clear|play --tunnel "
                 "UDID\n");
        return 2;
    }
    const std::string &verb = args[3];
    const std::string &udid = args[5];
    const auto fault = faultFor("pymobiledevice3", verb);
    if (auto status = applyLeadingFault(fault))
        return *status;
    if (!tunnelAnswers()) {
        sayError("ERROR: Unable to connect to Tunneld. You can start one using:\n"
                 "sudo python3 -m pymobiledevice3 remote tunneld\n");
        return 1;
    }
    if (!attached() || udid != device()["udid"]) {
        sayError("ERROR: Device is not connected\n");
        return 1;
    }
    if (pymobiledevice3Refuses(true))
        return 1;
    if (verb == "clear" && args.size() == 6) {
        clearLocation();
        return 0;
    }
    const bool play = verb == "play" && args.size() == 8 && args[6] == "--";
    if (!play && (verb != "set" || args.size() != 9 || args[6] != "--")) {
        sayError("Usage: simulate-location set --tunnel UDID -- LATITUDE LONGITUDE\n"
                 "       simulate-location play --tunnel UDID -- FILE\n");
        return 2;
    }
    installTerminateHandler();
    if (play) {
        const std::optional<std::string> gpx = readWholeFile(args[7]);
        if (!gpx) {
            sayError("ERROR [Errno 2] No such file or directory: '" + args[7] + "'\n");
            return 1;
        }
        // Paced like the real tool: only between two points that both carry a time.
        std::optional<long long> last;
        bool first = true;
        for (const GpxPoint &point : gpxPoints(*gpx)) {
            if (!first && last && point.ms && *point.ms >= *last
                && !waitUnlessTerminated(static_cast<double>(*point.ms - *last)))
                break;
            if (g_terminated)
                break;
            first = false;
            last = point.ms;
            setLocation(point.latitude, point.longitude);
        }
    } else {
        setLocation(args[7], args[8]);
    }
    if (fault && fault->kind == "exit-early")
        return 0;
    if (!g_terminated)
        holdUntilTerminated(fault);
    // iOS 17 drops a simulated location when the connection that set it goes away.
    if (device()["locationOwner"] == std::to_string(getpid()))
        clearLocation();
    return 0;
}

// ---- idevicepair ----------------------------------------------------------------------------

int idevicepair(const Args &args)
{
    std::string udid = device()["udid"];
    std::string command;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "-u" || args[i] == "--udid") && i + 1 < args.size())
            udid = args[++i];
        else
            command = args[i];
    }
    if (auto status = applyLeadingFault(faultFor("idevicepair", command)))
        return *status;
    if (command != "pair") {
        sayError("ERROR: Invalid command '" + command + "' specified\n");
        return 2;
    }
    if (!attached() || condition() == "no-usbmuxd") {
        say("No device found with udid " + udid + ".\n");
        return 1;
    }
    if (condition() == "locked") {
        say("ERROR: Could not validate with device " + udid
            + " because a passcode is set. Please enter the passcode on the device and retry.\n");
        return 1;
    }
    if (condition() == "pairing-pending") {
        say("ERROR: Please accept the trust dialog on the screen of device " + udid
            + ", then attempt to pair again.\n");
        return 1;
    }
    if (condition() == "untrusted")
        updateDevice({{"condition", ""}});
    say("SUCCESS: Paired with device " + udid + "\n");
    return 0;
}

// ---- ios (go-ios) -------------------------------------------------------------------------

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

// go-ios's log: one JSON object per line on standard error.
void goLog(const std::string &level, const std::string &message, const std::string &err = {})
{
    std::string line = "{\"time\":\"2026-01-01T00:00:00Z\",\"level\":\"" + level + "\",\"msg\":\""
        + jsonEscaped(message) + "\"";
    if (!err.empty())
        line += ",\"err\":\"" + jsonEscaped(err) + "\"";
    sayError(line + "}\n");
}

// go-ios's words for each condition, as an error (lockdown, usbmux and the device's names).
std::optional<std::string> goIosRefusal()
{
    const std::string c = condition();
    if (c == "no-usbmuxd")
        return "USBMuxConnection failed with: dial unix /var/run/usbmuxd: connect: no such file "
               "or directory";
    if (c == "locked")
        return "StartSession failed: {} error: failed to start new lockdown session: "
               "PasswordProtected";
    if (c == "untrusted")
        return "StartSession failed: {} error: failed to start new lockdown session: InvalidHostID";
    if (c == "pairing-pending")
        return "Lockdown error: PairingDialogResponsePending";
    return std::nullopt;
}

std::string option(const Args &args, const std::string &name)
{
    const std::string prefix = "--" + name + "=";
    for (const std::string &arg : args) {
        if (arg.rfind(prefix, 0) == 0)
            return arg.substr(prefix.size());
    }
    return {};
}

bool hasWord(const Args &args, const std::string &word)
{
    return std::find(args.begin(), args.end(), word) != args.end();
}

int majorVersion()
{
    return std::atoi(device()["ios"].c_str());
}

// One GET to the agent: the status code, 0 when nothing answered.
int agentStatus(int port, const std::string &path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = 0;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (::write(fd, request.data(), request.size()) > 0) {
            char buffer[64] = {};
            pollfd p {fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) > 0 && ::read(fd, buffer, sizeof(buffer) - 1) > 12)
                status = std::atoi(buffer + 9);
        }
    }
    ::close(fd);
    return status;
}

// The agent's tunnel-info API: /health, and /tunnel/UDID while the phone is there and trusts us.
[[noreturn]] void serveAgent(int listener, const std::string &udid)
{
    while (!g_terminated) {
        std::error_code error;
        if (!fs::exists(g_state / "device", error))
            break;
        pollfd p {listener, POLLIN, 0};
        if (::poll(&p, 1, 250) <= 0)
            continue;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        char buffer[2048] = {};
        pollfd c {client, POLLIN, 0};
        if (::poll(&c, 1, 1000) > 0 && ::read(client, buffer, sizeof(buffer) - 1) > 0) {
            std::istringstream request(buffer);
            std::string method, path;
            request >> method >> path;
            std::string status = "404 Not Found";
            std::string body = "tunnel not found\n";
            if (path == "/health") {
                status = "200 OK";
                body.clear();
            } else if (path == "/tunnel/" + udid && attached() && !lockdownRefuses()) {
                status = "200 OK";
                body = "{\"address\":\"fd00::1\",\"rsdPort\":58783,\"udid\":\"" + udid
                    + "\",\"userspaceTun\":true,\"userspaceTunPort\":28101}\n";
            }
            const std::string response = "HTTP/1.1 " + status + "\r\nContent-Length: "
                + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
            [[maybe_unused]] const ssize_t sent = ::write(client, response.data(), response.size());
        }
        ::close(client);
    }
    std::error_code ignored;
    fs::remove(g_state / "agent.pid", ignored);
    _exit(0);
}

// "ios tunnel start --userspace": stays in the foreground and serves the agent's port.
int goIosTunnel(const Args &args)
{
    if (auto status = applyLeadingFault(faultFor("ios", "tunnel")))
        return *status;
    if (!hasWord(args, "--userspace")) {
        goLog("ERROR",
              "If --userspace is not set, we need sudo, an admin shell on Windows, or "
              "CAP_NET_ADMIN on Linux",
              "operation not permitted");
        return 1;
    }
    const std::string port = option(args, "tunnel-info-port");
    const int listenPort = port.empty() ? agentPort() : std::atoi(port.c_str());
    installTerminateHandler();
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(listenPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(listener, 16) != 0) {
        goLog("ERROR", "failed to start tunnel server",
              std::string("listen tcp: ") + std::strerror(errno));
        return 1;
    }
    std::ofstream(g_state / "agent.pid") << getpid() << '\n';
    goLog("INFO", "Using userspace networking");
    goLog("INFO", "Tunnel server started");
    if (lockdownRefuses())
        goLog("WARN", "failed to update tunnels", *goIosRefusal());
    serveAgent(listener, option(args, "udid"));
}

int goIos(const Args &args)
{
    const std::string verb = args.empty() ? std::string() : args[0];
    if (verb == "version") {
        say("{\"version\":\"1.2.0\"}\n");
        return 0;
    }
    if (verb == "tunnel" && args.size() >= 2 && args[1] == "start")
        return goIosTunnel(args);
    const std::string part = verb == "image" || verb == "devmode"
        ? verb + (args.size() >= 2 ? " " + args[1] : std::string())
        : verb;
    const auto fault = faultFor("ios", verb);
    if (auto status = applyLeadingFault(fault))
        return *status;
    const std::string udid = option(args, "udid");
    if (!attached() || (!udid.empty() && udid != device()["udid"])) {
        goLog("ERROR", "Device not found: " + udid,
              "Device '" + udid + "' not found. Is it attached to the machine?");
        return 1;
    }
    if (verb == "list") {
        say("{\"deviceList\":[\"" + device()["udid"] + "\"]}\n");
        return 0;
    }
    const std::optional<std::string> refusal = goIosRefusal();
    const std::string portText = option(args, "tunnel-info-port");
    const int port = portText.empty() ? agentPort() : std::atoi(portText.c_str());
    const bool viaTunnel = majorVersion() >= 17;
    if (viaTunnel && agentStatus(port, "/tunnel/" + device()["udid"]) != 200)
        goLog("WARN", "failed to get tunnel info");
    // The old location service, over lockdown: gone on iOS 17 and later.
    const auto lockdownLocation = [&](const std::string &failure) -> bool {
        if (refusal || viaTunnel || condition() == "no-image" || condition() == "devmode-off") {
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
            setLocation(lat, lon);
            return exitStatusFault(fault);
        }
        if (refusal || agentStatus(port, "/tunnel/" + device()["udid"]) != 200
            || condition() == "no-image" || condition() == "devmode-off") {
            std::string why = refusal ? *refusal
                                      : "ConnectToShimService: Cannot connect to "
                                        "com.apple.instruments.dtservicehub, missing tunnel "
                                        "address and RSD port.  To start the tunnel, run `ios "
                                        "tunnel start`";
            if (!refusal && condition() == "devmode-off")
                why = "DeveloperModeIsNotEnabled";
            else if (!refusal && condition() == "no-image")
                why = "Could not start service:com.apple.instruments.dtservicehub with "
                      "reason:'InvalidService'. Have you mounted the Developer Image?";
            goLog("ERROR", "failed to create location simulation service:", why);
            return 1;
        }
        // Holds until interrupted (SIGINT), then stops the simulation; any other signal ends it
        // at once and leaves the location behind.
        struct sigaction interrupted
        {
        };
        interrupted.sa_handler = onTerminate;
        sigemptyset(&interrupted.sa_mask);
        sigaction(SIGINT, &interrupted, nullptr);
        setLocation(lat, lon);
        if (fault && fault->kind == "exit-early")
            return 0;
        while (!g_terminated)
            pause();
        clearLocation();
        return 0;
    }
    if (verb == "resetlocation" || verb == "setlocationgpx") {
        if (!lockdownLocation(verb == "resetlocation" ? "Resetting location failed with"
                                                      : "Setting location failed with"))
            return 1;
        if (verb == "resetlocation") {
            clearLocation();
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
            setLocation(point.latitude, point.longitude);
        }
        return 0;
    }
    if (part == "image auto") {
        // go-ios logs a failure here and still exits 0.
        if (refusal) {
            goLog("ERROR", "failed downloading image", *refusal);
            return 0;
        }
        goLog("INFO", "success downloaded image");
        if (condition() == "devmode-off") {
            goLog("ERROR", "error mounting image", "DeveloperModeIsNotEnabled");
            return 0;
        }
        if (condition() == "no-image")
            updateDevice({{"condition", ""}});
        goLog("INFO", "success mounting image");
        return exitStatusFault(fault);
    }
    if (part == "devmode reveal") {
        if (refusal) {
            goLog("ERROR", "Failed connecting to AMFI service", *refusal);
            return 1;
        }
        updateDevice({{"devmodeRevealed", "1"}});
        goLog("INFO",
              "Developer Mode menu has been revealed on the device. Go to Settings → "
              "Privacy & Security → Developer Mode to enable it.");
        return 0;
    }
    goLog("ERROR", "unknown command");
    return 2;
}

// ---- the control command -------------------------------------------------------------------

int usage()
{
    sayError("usage: simdevice [--state DIR] COMMAND\n"
             "  install DIR [TOOL...]  copy the kit into DIR under the tool names (all six)\n"
             "  attach [--ios V] [--serial S] [--udid U] [--product P]\n"
             "  detach\n"
             "  show                   the device and the location it was told\n"
             "  journal                every command the device received\n"
             "  fault TOOL[:PART] KIND [N]   kinds: slow N, hang, huge, exit-nonzero [N],\n"
             "                         exit-status N,\n"
             "                         non-utf8, exit-early, no-activation, blank, chatty,\n"
             "                         ignore-term, http-error\n"
             "  clear-faults\n"
             "  condition NAME         none, locked, untrusted, pairing-pending, devmode-off,\n"
             "                         no-image, no-usbmuxd: each tool says so in its words\n"
             "  setlocation-mode stock|hold   idevicesetlocation leaves at once (stock) or\n"
             "                         stays until terminated (hold, the default)\n"
             "  track                  each location applied: '<ms> <lat> <lon>', '<ms> cleared'\n"
             "  tunnel-port N | agent-port N\n"
             "  stop-tunnel | stop-agent\n");
    return 2;
}

int install(const fs::path &self, const fs::path &folder, Args names)
{
    std::error_code error;
    fs::create_directories(folder, error);
    if (names.empty())
        names = {"ideviceinfo",     "idevice_id",  "idevicesetlocation",
                 "pymobiledevice3", "idevicepair", "ios"};
    for (const std::string &name : names) {
        fs::copy_file(self, folder / name, fs::copy_options::overwrite_existing, error);
        if (error) {
            sayError("cannot install " + name + ": " + error.message() + "\n");
            return 1;
        }
    }
    return 0;
}

int stopTunnel(const char *pidFile = "tunneld.pid")
{
    std::ifstream in(g_state / pidFile);
    pid_t pid = 0;
    if (in >> pid && pid > 0)
        ::kill(pid, SIGTERM);
    return 0;
}

int control(const fs::path &self, Args args)
{
    if (args.size() >= 2 && args[0] == "--state") {
        g_state = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return usage();
    const std::string command = args[0];
    if (command == "install")
        return args.size() >= 2 ? install(self, args[1], Args(args.begin() + 2, args.end()))
                                : usage();
    std::error_code error;
    fs::create_directories(g_state, error);
    if (!fs::exists(g_state / "device"))
        writeKeyValues(g_state / "device", {{"attached", "0"}, {"tunnelPort", "49151"}});

    if (command == "attach") {
        std::map<std::string, std::string> values {{"attached", "1"},
                                                   {"ios", "17.4.1"},
                                                   {"serial", "F2LZK0ABCDEF"},
                                                   {"product", "iPhone15,2"},
                                                   {"udid", "00008110-001A2B3C4D5E6F70"}};
        for (size_t i = 1; i + 1 < args.size(); i += 2) {
            const std::string option = args[i];
            if (option == "--ios")
                values["ios"] = args[i + 1];
            else if (option == "--serial")
                values["serial"] = args[i + 1];
            else if (option == "--udid")
                values["udid"] = args[i + 1];
            else if (option == "--product")
                values["product"] = args[i + 1];
            else
                return usage();
        }
        updateDevice(values);
        journal("# attached");
        return 0;
    }
    if (command == "detach") {
        updateDevice({{"attached", "0"}, {"location", ""}, {"locationOwner", ""}});
        journal("# detached");
        return 0;
    }
    if (command == "show") {
        for (const auto &[key, value] : device())
            say(key + "=" + value + "\n");
        return 0;
    }
    if (command == "journal") {
        std::ifstream in(g_state / "journal");
        say(std::string(std::istreambuf_iterator<char>(in), {}));
        return 0;
    }
    if (command == "track") {
        std::ifstream in(g_state / "track");
        say(std::string(std::istreambuf_iterator<char>(in), {}));
        return 0;
    }
    if (command == "setlocation-mode" && args.size() == 2
        && (args[1] == "stock" || args[1] == "hold")) {
        updateDevice({{"setlocationMode", args[1]}});
        return 0;
    }
    if (command == "fault" && (args.size() == 3 || args.size() == 4)) {
        std::ofstream(g_state / "faults", std::ios::app)
            << args[1] << ' ' << args[2] << ' ' << (args.size() == 4 ? args[3] : "0") << '\n';
        return 0;
    }
    if (command == "clear-faults") {
        fs::remove(g_state / "faults", error);
        return 0;
    }
    if (command == "tunnel-port" && args.size() == 2) {
        updateDevice({{"tunnelPort", args[1]}});
        return 0;
    }
    if (command == "stop-tunnel")
        return stopTunnel();
    if (command == "agent-port" && args.size() == 2) {
        updateDevice({{"agentPort", args[1]}});
        return 0;
    }
    if (command == "stop-agent")
        return stopTunnel("agent.pid");
    if (command == "condition" && args.size() == 2) {
        updateDevice({{"condition", args[1] == "none" ? std::string() : args[1]}});
        journal("# condition " + args[1]);
        return 0;
    }
    return usage();
}

} // namespace

int main(int argc, char *argv[])
{
    const fs::path self = fs::absolute(argv[0]);
    const std::string name = self.filename().string();
    Args args(argv + 1, argv + argc);

    const char *stateVariable = std::getenv("SIMDEVICE_STATE");
    g_state = (stateVariable && *stateVariable) ? fs::path(stateVariable)
                                                : self.parent_path() / "simdevice-state";

    if (name == "ideviceinfo" || name == "idevice_id" || name == "idevicesetlocation"
        || name == "pymobiledevice3" || name == "idevicepair" || name == "ios") {
        journalCommand(name, args);
        if (name == "idevicepair")
            return idevicepair(args);
        if (name == "ios")
            return goIos(args);
        if (name == "ideviceinfo")
            return ideviceinfo(args);
        if (name == "idevice_id")
            return ideviceId(args);
        if (name == "idevicesetlocation")
            return idevicesetlocation(args);
        return pymobiledevice3(args);
    }
    if (!stateVariable || !*stateVariable)
        g_state = fs::current_path() / "simdevice-state";
    return control(self, args);
}
