// The kit's own command ("simdevice") and the entry that picks a tool by the name it was started
// as.
#include "Kit.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

namespace sim {

namespace {

int usage()
{
    sayError(
        "usage: simdevice [--state DIR] COMMAND\n"
        "  install DIR [TOOL...]  copy the kit into DIR under the tool names (all six)\n"
        "  attach [--udid U] [--ios V] [--serial S] [--product P] [--name N]\n"
        "                         plug a phone in (without --udid: the default phone); it\n"
        "                         takes the first free place in usbmuxd's list\n"
        "  detach [--udid U]      pull a phone out (without --udid: every phone)\n"
        "  show [--udid U]        a phone and where it believes it is (default: the first)\n"
        "  journal [--udid U]     every command received (by one phone)\n"
        "  track [--udid U]       each location applied: '<ms> <lat> <lon>', '<ms> cleared'\n"
        "  condition NAME [--udid U]   none, locked, untrusted, pairing-pending, devmode-off,\n"
        "                         no-image (one phone, or every phone), no-usbmuxd (usbmuxd\n"
        "                         stops): each tool says so in its own words\n"
        "  kill-holder [--udid U] kill the process holding a phone's location (as a crash would)\n"
        "  fault TOOL[:PART] KIND [N]   kinds: slow N, hang, huge, exit-nonzero [N],\n"
        "                         exit-status N, non-utf8, exit-early, no-activation, blank,\n"
        "                         chatty, ignore-term, http-error\n"
        "  clear-faults\n"
        "  setlocation-mode stock|hold   idevicesetlocation leaves at once (stock) or\n"
        "                         stays until terminated (hold, the default)\n"
        "  tunnel-port N | agent-port N\n"
        "  stop-tunnel | stop-agent   end tunneld or go-ios's agent (as a crash would)\n"
        "  chain pymobiledevice3|go-ios   which iOS 17+ tool the tool folder beside the state\n"
        "                         folder offers (go-ios: pymobiledevice3 is put aside)\n");
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

int stopDaemon(const char *pidFile)
{
    const pid_t pid = pidFrom(pidFile);
    if (pid > 0)
        ::kill(pid, SIGTERM);
    return 0;
}

// Options of a control command: "--name value" pairs; false when one is not known.
bool readOptions(const Args &args, size_t from, const std::vector<std::string> &known,
                 Values &options)
{
    for (size_t i = from; i < args.size(); i += 2) {
        const std::string &name = args[i];
        if (name.rfind("--", 0) != 0 || i + 1 >= args.size()
            || std::find(known.begin(), known.end(), name.substr(2)) == known.end())
            return false;
        options[name.substr(2)] = args[i + 1];
    }
    return true;
}

std::string joined(const std::vector<std::string> &parts)
{
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : ",") + part;
    return text;
}

// The USB device folder Linux shows for a plugged-in phone: vendor 05ac (Apple), an iPhone's
// product id.
fs::path usbFolder(const std::string &udid)
{
    return g_state / "usb" / ("1-" + udid);
}

int attach(const Args &args)
{
    Values options;
    if (!readOptions(args, 1, {"udid", "ios", "serial", "product", "name"}, options))
        return usage();
    const std::string udid = options.count("udid") ? options["udid"] : kDefaultUdid;
    Values values = phone(udid);
    const bool known = !values.empty();
    values["attached"] = "1";
    const auto setting = [&](const char *key, const std::string &fallback) {
        if (options.count(key))
            values[key] = options[key];
        else if (!known || values[key].empty())
            values[key] = fallback;
    };
    setting("ios", "17.4.1");
    setting("serial",
            udid == kDefaultUdid ? "F2LZK0ABCDEF"
                                 : "SIM" + udid.substr(udid.size() > 9 ? udid.size() - 9 : 0));
    setting("product", "iPhone15,2");
    setting("name", "Simulated iPhone");
    updatePhone(udid, values);
    std::vector<std::string> order = knownPhones();
    if (std::find(order.begin(), order.end(), udid) == order.end())
        order.push_back(udid);
    // usbmuxd keeps its phones in a table and puts a new one in the first free place, so a
    // phone plugged in again can come before one that stayed.
    std::vector<std::string> places = split(kit()["usbmux"], ',');
    if (std::find(places.begin(), places.end(), udid) == places.end()) {
        const auto free = std::find(places.begin(), places.end(), "-");
        if (free != places.end())
            *free = udid;
        else
            places.push_back(udid);
    }
    updateKit({{"order", joined(order)}, {"usbmux", joined(places)}});
    std::error_code error;
    fs::create_directories(usbFolder(udid), error);
    std::ofstream(usbFolder(udid) / "idVendor") << "05ac\n";
    std::ofstream(usbFolder(udid) / "idProduct") << "12a8\n";
    journal("# attached " + udid, udid);
    return 0;
}

std::vector<std::string> chosenPhones(const Values &options)
{
    if (options.count("udid"))
        return {options.at("udid")};
    return knownPhones();
}

int detach(const Args &args)
{
    Values options;
    if (!readOptions(args, 1, {"udid"}, options))
        return usage();
    std::vector<std::string> places = split(kit()["usbmux"], ',');
    for (const std::string &udid : chosenPhones(options)) {
        std::replace(places.begin(), places.end(), udid, std::string("-"));
        // Unplugged, the phone is no longer asked where it is: the kit forgets what it was told.
        updatePhone(
            udid,
            {{"attached", "0"}, {"location", ""}, {"locationOwner", ""}, {"locationVia", ""}});
        std::error_code error;
        fs::remove_all(usbFolder(udid), error);
        journal("# detached " + udid, udid);
    }
    while (!places.empty() && places.back() == "-")
        places.pop_back();
    updateKit({{"usbmux", joined(places)}});
    return 0;
}

std::string firstPhone(const Values &options)
{
    if (options.count("udid"))
        return options.at("udid");
    const auto attached = attachedPhones();
    if (!attached.empty())
        return attached.front();
    const auto known = knownPhones();
    return known.empty() ? kDefaultUdid : known.front();
}

int show(const Args &args)
{
    Values options;
    if (!readOptions(args, 1, {"udid"}, options))
        return usage();
    const std::string udid = firstPhone(options);
    Values values = kit();
    values.erase("order");
    values.erase("usbmux");
    for (const auto &[key, value] : phone(udid))
        values[key] = value;
    values["udid"] = udid;
    if (values["attached"].empty())
        values["attached"] = "0";
    values["location"] = effectiveLocation(udid);
    if (!usbmuxdRuns())
        values["condition"] = "no-usbmuxd";
    for (const auto &[key, value] : values)
        say(key + "=" + value + "\n");
    return 0;
}

int printFile(const fs::path &file)
{
    std::ifstream in(file);
    say(std::string(std::istreambuf_iterator<char>(in), {}));
    return 0;
}

int setCondition(const Args &args)
{
    Values options;
    if (args.size() < 2 || !readOptions(args, 2, {"udid"}, options))
        return usage();
    const std::string name = args[1] == "none" ? std::string() : args[1];
    if (name == "no-usbmuxd") {
        updateKit({{"usbmuxd", "0"}});
    } else {
        if (name.empty())
            updateKit({{"usbmuxd", "1"}});
        for (const std::string &udid : chosenPhones(options))
            updatePhone(udid, {{"condition", name}});
    }
    journal("# condition " + args[1]);
    return 0;
}

int killHolder(const Args &args)
{
    Values options;
    if (!readOptions(args, 1, {"udid"}, options))
        return usage();
    const pid_t owner = std::atoi(phone(firstPhone(options))["locationOwner"].c_str());
    if (owner > 0 && processAlive(owner))
        ::kill(owner, SIGKILL);
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
    if (!fs::exists(g_state / "kit"))
        writeKeyValues(g_state / "kit", {{"tunnelPort", "49151"}, {"usbmuxd", "1"}});

    if (command == "attach")
        return attach(args);
    if (command == "detach")
        return detach(args);
    if (command == "show")
        return show(args);
    if (command == "journal" || command == "track") {
        Values options;
        if (!readOptions(args, 1, {"udid"}, options))
            return usage();
        if (command == "journal" && !options.count("udid"))
            return printFile(g_state / "journal");
        return printFile(g_state / (command + "-" + firstPhone(options)));
    }
    if (command == "setlocation-mode" && args.size() == 2
        && (args[1] == "stock" || args[1] == "hold")) {
        updateKit({{"setlocationMode", args[1]}});
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
    if ((command == "tunnel-port" || command == "agent-port") && args.size() == 2) {
        updateKit({{command == "tunnel-port" ? "tunnelPort" : "agentPort", args[1]}});
        return 0;
    }
    if (command == "stop-tunnel")
        return stopDaemon("tunneld.pid");
    if (command == "stop-agent")
        return stopDaemon("agent.pid");
    if (command == "condition")
        return setCondition(args);
    if (command == "kill-holder")
        return killHolder(args);
    if (command == "chain" && args.size() == 2
        && (args[1] == "pymobiledevice3" || args[1] == "go-ios")) {
        // The tools lie in the folder that holds the state folder.
        const fs::path tools = fs::absolute(g_state).parent_path();
        const fs::path active = tools / "pymobiledevice3";
        const fs::path aside = tools / "pymobiledevice3.aside";
        if (args[1] == "go-ios" && fs::exists(active))
            fs::rename(active, aside, error);
        else if (args[1] == "pymobiledevice3" && fs::exists(aside))
            fs::rename(aside, active, error);
        return error ? 1 : 0;
    }
    return usage();
}

} // namespace

} // namespace sim

int main(int argc, char *argv[])
{
    using namespace sim;
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
