// Windows 10's in-box USB MIDI driver returns from midiOutLongMsg only once the message has
// gone out on USB, and a device that stops taking data keeps the call from returning at all:
// waited for on the main thread, it would hang the program in the middle of an update with no
// word. So the call is made by a courier thread while the caller waits for it with a deadline.
// A courier whose call has not returned is left to the driver with everything it holds, and
// the next call gets a new one; a courier whose call returned takes the next message, so that
// a whole update costs one thread and two event hand-overs a message.
#include <windows.h>

#include "platform/platform.h"

namespace {

struct Courier {
    HANDLE start;
    HANDLE done;
    HMIDIOUT handle;
    MIDIHDR* header;
    MMRESULT result;
};

// Never freed: a courier given up on still runs, and its thread reads it when its call returns.
Courier* idleCourier = nullptr;

DWORD WINAPI Deliver(void* parameter) {
    auto* courier = static_cast<Courier*>(parameter);
    for (;;) {
        if (WaitForSingleObject(courier->start, INFINITE) != WAIT_OBJECT_0)
            return 0;
        courier->result = midiOutLongMsg(courier->handle, courier->header, sizeof(MIDIHDR));
        SetEvent(courier->done);
    }
}

Courier* HireCourier() {
    auto* courier = new (std::nothrow) Courier{};
    if (courier == nullptr)
        return nullptr;
    courier->start = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    courier->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = nullptr;
    if (courier->start != nullptr && courier->done != nullptr)
        thread = CreateThread(nullptr, 0, Deliver, courier, 0, nullptr);
    if (thread == nullptr) {
        if (courier->start != nullptr)
            CloseHandle(courier->start);
        if (courier->done != nullptr)
            CloseHandle(courier->done);
        delete courier;
        return nullptr;
    }
    // The thread runs on without a handle; the process's end takes it, wherever it waits.
    CloseHandle(thread);
    return courier;
}

}  // namespace

std::optional<MMRESULT> CallLongMessageWithin(HMIDIOUT handle, MIDIHDR* header,
                                              DWORD milliseconds) {
    if (idleCourier == nullptr)
        idleCourier = HireCourier();
    if (idleCourier == nullptr)
        return MMSYSERR_NOMEM;
    Courier& courier = *idleCourier;
    courier.handle = handle;
    courier.header = header;
    SetEvent(courier.start);
    if (WaitForSingleObject(courier.done, milliseconds) != WAIT_OBJECT_0) {
        idleCourier = nullptr;
        return std::nullopt;
    }
    return courier.result;
}
