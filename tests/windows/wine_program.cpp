#include "wine_program.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "driver_options.h"
#include "wine_process.h"

namespace {

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

struct PortEvent {
    std::string port;  // "input 1 TV615R Device"
    std::string event;
};

// The port and the event of a line "TIME input|output N NAME: EVENT"; nothing for others.
std::optional<PortEvent> ReadPortEvent(const std::string& line) {
    const std::size_t time = line.find_first_not_of(' ');
    const std::size_t port = line.find(' ', time);
    const std::size_t colon = line.find(": ");
    if (port == std::string::npos || colon == std::string::npos || colon < port)
        return std::nullopt;
    const std::string name = line.substr(port + 1, colon - port - 1);
    if (!name.starts_with("input ") && !name.starts_with("output "))
        return std::nullopt;
    return PortEvent{name, line.substr(colon + 2)};
}

}  // namespace

std::string Required(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0)
        throw std::runtime_error(std::string(name) + " is not set: run scripts/test-windows");
    return value;
}

std::string WineLoader() {
    const char* wine = std::getenv("UPDATE_WINE");
    return wine != nullptr ? wine : "/usr/lib/wine/wine64";
}

// Wine shows the Unix root as drive Z:. The scratch folders hold no space, so the path
// stays one word of the driver's options.
std::string WindowsPath(const std::string& path) {
    return "Z:" + path;
}

WineRun RunUnderWine(const ScratchFolder& folder, const std::string& driverOptions,
                     const std::vector<std::string>& environment, Personality personality,
                     double limitSeconds) {
    const ScratchFolder records;
    const std::string command = "timeout -k 5 " + std::to_string(limitSeconds) + " " +
                                Quoted(WineLoader()) + " " +
                                Quoted(Required("UPDATE_WINDOWS_PROGRAM"));
    Required("WINEPREFIX");
    std::optional<DeviceProcess> device;
    std::vector<std::string> assignments;
    if (personality == Personality::midiService) {
        device.emplace(driverOptions);
        assignments.push_back(device->ClientVariable("updater", records.File("driver.log")));
    } else {
        assignments.push_back(std::string(driverOptionsVariable) + "=--log " +
                              WindowsPath(records.File("driver.log")) + " --accepted " +
                              WindowsPath(records.File("accepted.bin")) + " " + driverOptions);
    }
    assignments.insert(assignments.end(), environment.begin(), environment.end());

    WineRun run;
    const auto start = std::chrono::steady_clock::now();
    run.program = RunProgram(folder.Path(), command, assignments);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.driverLog = ReadFile(records.File("driver.log"));
    if (device) {
        // The device process closes what the program held once it sees the program gone, and
        // an output whose cable stalled a second later.
        if (device->Log().find("client updater connected") != std::string::npos)
            AwaitText(device->LogPath(), "client updater gone", 10);
        for (int look = 0; look < 150 && !PortFaults(device->Log()).empty(); ++look)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        device->Stop();
        run.deviceLog = device->Log();
        run.acceptedRecords = device->Accepted();
    } else {
        run.deviceLog = run.driverLog;
        run.acceptedRecords = ReadFile(records.File("accepted.bin"));
    }
    return run;
}

std::vector<std::string> PortFaults(const std::string& driverLog) {
    std::vector<std::string> faults;
    std::map<std::string, bool> open;
    std::istringstream lines(driverLog);
    for (std::string line; std::getline(lines, line);) {
        const auto port = ReadPortEvent(line);
        if (!port)
            continue;
        if (port->event == "open") {
            open[port->port] = true;
        } else if (port->event.starts_with("closed")) {
            open[port->port] = false;
        } else if (port->event.starts_with("close refused") ||
                   port->event.ends_with("after a close") ||
                   port->event.ends_with("before its MOM_DONE") ||
                   port->event.starts_with("reset still handing buffers back")) {
            faults.push_back(port->port + ": " + port->event);
        }
    }
    for (const auto& [port, isOpen] : open) {
        if (isOpen)
            faults.push_back(port + ": left open");
    }
    return faults;
}

bool AnyPortOpened(const std::string& driverLog) {
    std::istringstream lines(driverLog);
    for (std::string line; std::getline(lines, line);) {
        const auto port = ReadPortEvent(line);
        if (port && port->event == "open")
            return true;
    }
    return false;
}
