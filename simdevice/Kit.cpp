#include "Kit.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sim {

volatile sig_atomic_t g_terminated = 0;
volatile sig_atomic_t g_signal = 0;
fs::path g_state;
std::string g_commandLine;

void onTerminate(int signal)
{
    g_signal = signal;
    g_terminated = 1;
}

// ---- state folder -------------------------------------------------------------------------

Values readKeyValues(const fs::path &file)
{
    Values values;
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
void writeKeyValues(const fs::path &file, const Values &values)
{
    const fs::path temporary = file.string() + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto &[key, value] : values)
            out << key << '=' << value << '\n';
    }
    std::error_code error;
    fs::rename(temporary, file, error);
}

// What the kit as a whole knows: ports, the set-location mode, whether usbmuxd runs, every phone
// in the order it was first plugged in ("order"), and usbmuxd's list of plugged-in phones
// ("usbmux", "-" for a free place; tools that are not told a phone take the first).
Values kit()
{
    return readKeyValues(g_state / "kit");
}

void updateKit(const Values &changes)
{
    auto values = kit();
    for (const auto &[key, value] : changes)
        values[key] = value;
    writeKeyValues(g_state / "kit", values);
}

fs::path phoneFile(const std::string &udid)
{
    return g_state / "phones" / udid;
}

Values phone(const std::string &udid)
{
    return udid.empty() ? Values() : readKeyValues(phoneFile(udid));
}

void updatePhone(const std::string &udid, const Values &changes)
{
    std::error_code error;
    fs::create_directories(g_state / "phones", error);
    auto values = phone(udid);
    for (const auto &[key, value] : changes)
        values[key] = value;
    writeKeyValues(phoneFile(udid), values);
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

// Every phone the kit knows, in the order it was first plugged in.
std::vector<std::string> knownPhones()
{
    return split(kit()["order"], ',');
}

bool usbmuxdRuns()
{
    return kit()["usbmuxd"] != "0";
}

// The phones usbmuxd lists, in its order: each keeps the place it got when it was plugged in.
std::vector<std::string> attachedPhones()
{
    std::vector<std::string> attached;
    if (!usbmuxdRuns())
        return attached;
    for (const std::string &udid : split(kit()["usbmux"], ',')) {
        if (udid != "-" && phone(udid)["attached"] == "1")
            attached.push_back(udid);
    }
    return attached;
}

bool isAttached(const std::string &udid)
{
    const auto phones = attachedPhones();
    return std::find(phones.begin(), phones.end(), udid) != phones.end();
}

// The phone a tool acts on: the one named, else the first one listed ("" when none).
std::string targetPhone(const std::string &named)
{
    if (!named.empty())
        return isAttached(named) ? named : std::string();
    const auto phones = attachedPhones();
    return phones.empty() ? std::string() : phones.front();
}

// What keeps a phone from answering, as "simdevice condition NAME" set it: locked, untrusted,
// pairing-pending, devmode-off, no-image; empty for none.
std::string condition(const std::string &udid)
{
    return phone(udid)["condition"];
}

bool lockdownRefuses(const std::string &udid)
{
    const std::string c = condition(udid);
    return c == "locked" || c == "untrusted" || c == "pairing-pending";
}

int majorVersion(const std::string &udid)
{
    return std::atoi(phone(udid)["ios"].c_str());
}

// "17.4" → {17, 4, 0}.
std::vector<int> version(const std::string &udid)
{
    std::vector<int> parts {0, 0, 0};
    const auto pieces = split(phone(udid)["ios"], '.');
    for (size_t i = 0; i < pieces.size() && i < 3; ++i)
        parts[i] = std::atoi(pieces[i].c_str());
    return parts;
}

int portSetting(const char *key, int fallback)
{
    const std::string port = kit()[key];
    return port.empty() ? fallback : std::atoi(port.c_str());
}

int tunnelPort()
{
    return portSetting("tunnelPort", 49151);
}

bool privileged()
{
    const char *admin = std::getenv("SIMDEVICE_ADMIN");
    if (admin && std::string(admin) == "1")
        return true;
    const char *unprivileged = std::getenv("SIMDEVICE_UNPRIVILEGED");
    return geteuid() == 0 && !(unprivileged && std::string(unprivileged) == "1");
}

// Alive and not a zombie.
bool processAlive(pid_t pid)
{
    if (pid <= 0 || ::kill(pid, 0) != 0)
        return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

pid_t pidFrom(const char *file)
{
    std::ifstream in(g_state / file);
    pid_t pid = 0;
    in >> pid;
    return pid;
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
void appendLine(const fs::path &file, const std::string &line)
{
    const std::string entry = line + "\n";
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] const ssize_t written = ::write(fd, entry.data(), entry.size());
    ::close(fd);
}

void journal(const std::string &line, const std::string &udid)
{
    appendLine(g_state / "journal", line);
    if (!udid.empty())
        appendLine(g_state / ("journal-" + udid), line);
}

// Every location a phone was given, with the wall-clock time it got it, so tests can check the
// pace of a replayed route: "<ms since the epoch> <lat> <lon>" or "<ms> cleared".
void track(const std::string &udid, const std::string &entry)
{
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    appendLine(g_state / ("track-" + udid), std::to_string(now.count()) + " " + entry);
}

void journalCommand(const std::string &tool, const Args &args)
{
    std::string line = tool;
    for (const auto &arg : args)
        line += " " + quoteForJournal(arg);
    g_commandLine = line;
    journal(line);
}

// The command goes into the journal of the phone it turned out to act on too.
void actsOn(const std::string &udid)
{
    if (!udid.empty() && !g_commandLine.empty())
        appendLine(g_state / ("journal-" + udid), g_commandLine);
}

// ---- faults -------------------------------------------------------------------------------

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

void hangForever()
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

// Only SIGINT is handled; any other signal ends the process as it would end a tool without a
// handler for it.
void installInterruptHandler()
{
    struct sigaction action
    {
    };
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

// Stays until a handled signal came, optionally chattering on stdout.
void holdUntilTerminated(const std::optional<Fault> &fault)
{
    if (fault && fault->kind == "ignore-term") {
        signal(SIGTERM, SIG_IGN);
        signal(SIGINT, SIG_IGN);
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

// `via`: what the connection that set it goes through: "lockdown" before iOS 17 (the phone
// keeps the location after the tool has gone), else "userspace" (the setting process's own
// tunnel), "agent:<pid>" or "tunneld:<pid>". From iOS 17 on the phone drops a simulated location
// as soon as that connection goes: with the process that set it, or the agent or tunneld it went
// through.
void setLocation(const std::string &udid, const std::string &latitude, const std::string &longitude,
                 const std::string &via)
{
    updatePhone(udid,
                {{"location", latitude + " " + longitude},
                 {"locationOwner", std::to_string(getpid())},
                 {"locationVia", via}});
    journal("# location " + latitude + " " + longitude, udid);
    track(udid, latitude + " " + longitude);
}

void clearLocation(const std::string &udid)
{
    updatePhone(udid, {{"location", ""}, {"locationOwner", ""}, {"locationVia", ""}});
    journal("# location cleared", udid);
    track(udid, "cleared");
}

// Where the phone believes it is now, as its location service would report it.
std::string effectiveLocation(const std::string &udid)
{
    Values p = phone(udid);
    if (p["attached"] != "1" || p["location"].empty())
        return {};
    const std::string via = p["locationVia"];
    if (via.empty() || via == "lockdown")
        return p["location"];
    if (!processAlive(std::atoi(p["locationOwner"].c_str())))
        return {};
    const size_t colon = via.find(':');
    if (colon != std::string::npos && !processAlive(std::atoi(via.c_str() + colon + 1)))
        return {};
    return p["location"];
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

// ---- small HTTP servers and clients -----------------------------------------------------------

int listenOn(int port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(listener, 16) != 0) {
        ::close(listener);
        return -1;
    }
    return listener;
}

// One GET: the status code (0 when nothing answered) and the body.
std::pair<int, std::string> httpGet(int port, const std::string &path, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {0, {}};
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (::write(fd, request.data(), request.size()) > 0) {
            char buffer[4096];
            pollfd p {fd, POLLIN, 0};
            while (::poll(&p, 1, timeoutMs) > 0) {
                const ssize_t n = ::read(fd, buffer, sizeof(buffer));
                if (n <= 0)
                    break;
                answer.append(buffer, static_cast<size_t>(n));
            }
        }
    }
    ::close(fd);
    if (answer.size() < 12 || answer.compare(0, 5, "HTTP/") != 0)
        return {0, {}};
    const size_t body = answer.find("\r\n\r\n");
    return {std::atoi(answer.c_str() + 9),
            body == std::string::npos ? "" : answer.substr(body + 4)};
}

std::string queryValue(const std::string &query, const std::string &name)
{
    for (const std::string &pair : split(query, '&')) {
        if (pair.rfind(name + "=", 0) == 0)
            return pair.substr(name.size() + 1);
    }
    return {};
}

// Detaches from the caller: its own session, no descriptor of the caller's, so whoever waits for
// the caller's output does not wait for us.
void becomeDaemon()
{
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
}

} // namespace sim
