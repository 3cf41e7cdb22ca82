// The simulated device kit: one program that stands in for "ideviceinfo", "idevice_id",
// "idevicesetlocation", "idevicepair", "pymobiledevice3" and go-ios's "ios", choosing its part by
// the name it was started as, plus a control command ("simdevice") that plugs phones in and out,
// puts them in conditions, injects faults and shows what each phone was told.
//
// Each tool behaves like the real one at the version PinDrift is built with (libimobiledevice
// 1.3.0, go-ios 1.2.0, pymobiledevice3 10.10.3): its words, its exit status, what it refuses.
// README.md beside this file names the source of every behaviour.
//
// The phones live in a state folder: SIMDEVICE_STATE when set, otherwise "simdevice-state" beside
// the tool. Every command received is appended to the folder's journal (and to the journal of the
// phone it acts on), every location a phone is given to that phone's track.
// SIMDEVICE_TIME_SCALE (default 1) divides the waits of a route's replay. SIMDEVICE_ADMIN=1
// stands for administrator rights (the kit's tests run as root, where the real tools would
// always have them: SIMDEVICE_UNPRIVILEGED=1 takes them away again).
#pragma once

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace sim {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Values = std::map<std::string, std::string>;

inline const std::string kDefaultUdid = "00008110-001A2B3C4D5E6F70";

extern volatile sig_atomic_t g_terminated;
extern volatile sig_atomic_t g_signal;
extern fs::path g_state;
extern std::string g_commandLine; // this tool's command, for the journal of its phone

void onTerminate(int signal);

// ---- state ----
Values readKeyValues(const fs::path &file);
void writeKeyValues(const fs::path &file, const Values &values);
Values kit();
void updateKit(const Values &changes);
fs::path phoneFile(const std::string &udid);
Values phone(const std::string &udid);
void updatePhone(const std::string &udid, const Values &changes);
std::vector<std::string> split(const std::string &text, char separator);
std::vector<std::string> knownPhones();
bool usbmuxdRuns();
std::vector<std::string> attachedPhones();
bool isAttached(const std::string &udid);
std::string targetPhone(const std::string &named);
std::string condition(const std::string &udid);
bool lockdownRefuses(const std::string &udid);
int majorVersion(const std::string &udid);
std::vector<int> version(const std::string &udid);
int portSetting(const char *key, int fallback);
int tunnelPort();
bool privileged();
bool processAlive(pid_t pid);
pid_t pidFrom(const char *file);

// ---- journal and track ----
std::string quoteForJournal(const std::string &arg);
void appendLine(const fs::path &file, const std::string &line);
void journal(const std::string &line, const std::string &udid = {});
void track(const std::string &udid, const std::string &entry);
void journalCommand(const std::string &tool, const Args &args);
void actsOn(const std::string &udid);

// ---- faults ----
struct Fault
{
    std::string kind;
    long parameter = 0;
};
std::optional<Fault> faultFor(const std::string &tool, const std::string &part);
void say(const std::string &text);
void sayError(const std::string &text);
void sleepMs(long ms);
[[noreturn]] void hangForever();
void printMegabyte();
std::optional<int> applyLeadingFault(const std::optional<Fault> &fault);
int exitStatusFault(const std::optional<Fault> &fault);

// ---- holding ----
void installTerminateHandler();
void installInterruptHandler();
void holdUntilTerminated(const std::optional<Fault> &fault);
void setLocation(const std::string &udid, const std::string &latitude, const std::string &longitude,
                 const std::string &via = "lockdown");
void clearLocation(const std::string &udid);
std::string effectiveLocation(const std::string &udid);

// ---- replay ----
struct GpxPoint
{
    std::string latitude;
    std::string longitude;
    std::optional<long long> ms; // from <time>, milliseconds since the epoch
};
double timeScale();
bool waitUnlessTerminated(double ms);
std::optional<long long> parseUtcTime(const std::string &text);
std::vector<GpxPoint> gpxPoints(const std::string &text);
std::optional<std::string> readWholeFile(const std::string &path);

// ---- HTTP ----
int listenOn(int port);
std::pair<int, std::string> httpGet(int port, const std::string &path, int timeoutMs = 2000);
std::string queryValue(const std::string &query, const std::string &name);
void becomeDaemon();

struct Request
{
    std::string method;
    std::string path;
    std::string query;
};

struct Response
{
    std::string status;
    std::string type;
    std::string body;
};

// Accepts one connection if one comes within `waitMs` and answers it with `handle`
// (Request → Response). False when none came.
template<typename Handler>
bool serveOne(int listener, int waitMs, Handler handle)
{
    pollfd p {listener, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return false;
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return false;
    char buffer[2048] = {};
    pollfd c {client, POLLIN, 0};
    if (::poll(&c, 1, 1000) > 0 && ::read(client, buffer, sizeof(buffer) - 1) > 0) {
        std::istringstream lines(buffer);
        Request request;
        lines >> request.method >> request.path;
        const size_t question = request.path.find('?');
        if (question != std::string::npos) {
            request.query = request.path.substr(question + 1);
            request.path.resize(question);
        }
        const Response response = handle(request);
        const std::string text = "HTTP/1.1 " + response.status + "\r\nContent-Type: "
            + response.type + "\r\nContent-Length: " + std::to_string(response.body.size())
            + "\r\nConnection: close\r\n\r\n" + response.body;
        [[maybe_unused]] const ssize_t sent = ::write(client, text.data(), text.size());
    }
    ::close(client);
    return true;
}

// ---- the tools ----
int ideviceinfo(const Args &args);
int ideviceId(const Args &args);
int idevicesetlocation(const Args &args);
int idevicepair(const Args &args);
int pymobiledevice3(const Args &args);
int goIos(const Args &args);

} // namespace sim
