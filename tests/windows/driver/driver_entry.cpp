// The driver's entry points, as Wine 8 looks for them. Wine's winmm takes as its MIDI driver
// the audio driver that mmdevapi chose: mmdevapi loads wine<NAME>.drv for each NAME in the
// registry value HKCU\Software\Wine\Drivers\Audio and keeps a driver only if it answers the
// four probes below. This driver offers no audio endpoint, only MIDI ports.
#include <cstdlib>

#include "shared_midi_driver.h"
#include "test_midi_driver.h"

namespace {

// mmdevapi's driver priorities run unavailable, low, neutral, preferred.
constexpr int priorityNeutral = 2;

MidiDriver* MakeDriver() {
    const char* text = std::getenv(driverOptionsVariable);
    const ParsedDriverOptions parsed = ParseDriverOptions(text != nullptr ? text : "");
    if (parsed.options.sharedPorts)
        return new SharedMidiDriver(parsed);
    return new TestMidiDriver(parsed, MidiStack::classic);
}

// Made at the first use of a port, inside the program that uses it: mmdevapi's probes alone
// create nothing. Never destroyed: at the process's end its thread, which would need the
// loader lock to end, cannot be waited for from a DLL's detach.
MidiDriver& Driver() {
    static MidiDriver& driver = *MakeDriver();
    return driver;
}

bool IsDriverNotice(UINT message) {
    return message == DRVM_INIT || message == DRVM_EXIT || message == DRVM_ENABLE ||
           message == DRVM_DISABLE;
}

}  // namespace

extern "C" {

int WINAPI GetPriority() {
    return priorityNeutral;
}

HRESULT WINAPI GetEndpointIDs(int, WCHAR*** identifiers, GUID** guids, UINT* count,
                              UINT* defaultIndex) {
    *identifiers = nullptr;
    *guids = nullptr;
    *count = 0;
    *defaultIndex = 0;
    return S_OK;
}

HRESULT WINAPI GetAudioEndpoint(void*, void*, void** client) {
    *client = nullptr;
    return E_NOTIMPL;
}

HRESULT WINAPI GetAudioSessionManager(void*, void** manager) {
    *manager = nullptr;
    return E_NOTIMPL;
}

LRESULT WINAPI DriverProc(DWORD_PTR identifier, HDRVR driver, UINT message, LPARAM parameter1,
                          LPARAM parameter2) {
    switch (message) {
        case DRV_LOAD:
        case DRV_FREE:
        case DRV_OPEN:
        case DRV_CLOSE:
        case DRV_ENABLE:
        case DRV_DISABLE:
            return 1;
        default:
            return DefDriverProc(identifier, driver, message, parameter1, parameter2);
    }
}

// The driver notices come without a port; DRVM_EXIT comes at the process's end, when the
// driver's thread may have been stopped inside its lock, so they touch nothing.
DWORD WINAPI midMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                        DWORD_PTR parameter2) {
    if (IsDriverNotice(message))
        return MMSYSERR_NOERROR;
    return Driver().InputMessage(port, message, user, parameter1, parameter2);
}

DWORD WINAPI modMessage(UINT port, UINT message, DWORD_PTR user, DWORD_PTR parameter1,
                        DWORD_PTR parameter2) {
    if (IsDriverNotice(message))
        return MMSYSERR_NOERROR;
    return Driver().OutputMessage(port, message, user, parameter1, parameter2);
}

}  // extern "C"
