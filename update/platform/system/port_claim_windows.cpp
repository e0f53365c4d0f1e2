// Claims as named mutexes. Windows 11's MIDI Service lets every program open a port that
// another holds and merges what they send, so Windows' own refusal of a port in use no longer
// keeps a second updater off a device that is being updated. A named object goes with the
// last handle to it, so a crashed or killed updater leaves no claim behind.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

HANDLE claims[2] = {nullptr, nullptr};

HANDLE& ClaimOf(PortDirection direction) {
    return claims[direction == PortDirection::input ? 0 : 1];
}

// The port's name as the capability query gives it, or none when the query fails.
bool QueryName(PortDirection direction, unsigned index, char (&name)[MAXPNAMELEN]) {
    if (direction == PortDirection::input) {
        MIDIINCAPSA capabilities{};
        if (midiInGetDevCapsA(index, &capabilities, sizeof capabilities) != MMSYSERR_NOERROR)
            return false;
        std::memcpy(name, capabilities.szPname, sizeof name);
    } else {
        MIDIOUTCAPSA capabilities{};
        if (midiOutGetDevCapsA(index, &capabilities, sizeof capabilities) != MMSYSERR_NOERROR)
            return false;
        std::memcpy(name, capabilities.szPname, sizeof name);
    }
    name[MAXPNAMELEN - 1] = '\0';
    return true;
}

// Names the port by its own name and how many ports of that name come before it: every
// program on the machine lists the same ports, but an index moves when a device before it
// is removed, and two devices of one kind share a name.
std::string ClaimName(PortDirection direction, unsigned index) {
    char name[MAXPNAMELEN];
    if (!QueryName(direction, index, name))
        return {};
    unsigned earlier = 0;
    for (unsigned other = 0; other < index; ++other) {
        char otherName[MAXPNAMELEN];
        if (QueryName(direction, other, otherName) && std::strcmp(name, otherName) == 0)
            ++earlier;
    }
    // The machine-wide namespace, so that an updater in another user's session counts too. A
    // backslash may not follow the prefix: bytes other than letters and digits are written out.
    std::string claim =
        direction == PortDirection::input ? "Global\\update-midi-in-" : "Global\\update-midi-out-";
    for (const char character : std::string(name)) {
        const auto byte = static_cast<unsigned char>(character);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9')) {
            claim += character;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            claim += escaped;
        }
    }
    return claim + "-" + std::to_string(earlier);
}

}  // namespace

bool ClaimMidiPort(PortDirection direction, unsigned index) {
    ReleaseMidiPort(direction);
    const std::string name = ClaimName(direction, index);
    // A port whose name cannot be had is one that the open will refuse anyway.
    if (name.empty())
        return true;
    HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    if (claim != nullptr && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        return false;
    }
    if (claim == nullptr) {
        // Another user's updater made it, and its defaults keep this user out.
        if (error == ERROR_ACCESS_DENIED)
            return false;
        // A fault of the system, not another updater: the port stays usable.
        return true;
    }
    ClaimOf(direction) = claim;
    return true;
}

void ReleaseMidiPort(PortDirection direction) {
    HANDLE& claim = ClaimOf(direction);
    if (claim != nullptr) {
        CloseHandle(claim);
        claim = nullptr;
    }
}
