// Windows 10's in-box USB MIDI driver returns from midiOutLongMsg only once the message has
// gone out on USB, and a device that stops taking data keeps the call from returning at all:
// waited for on the main thread, it would hang the program in the middle of an update with no
// word. So the call is made by a courier thread while the caller waits for it with a deadline.
// A courier whose call has not returned is left to the driver with everything it holds, and
// the next call gets a new one; a courier whose call returned takes the next message, so that
// a whole update costs one thread and two hand-overs a message.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace {

// The hand-over waits on the flags' addresses rather than on events: under Wine an event is a
// request to its server, four of them a message, which slowed a DIN-paced update by a hundredth;
// an address wait is a futex there, and needs no object on Windows either.
struct Courier {
    std::atomic<LONG> called{0};
    std::atomic<LONG> returned{0};
    HMIDIOUT handle = nullptr;
    MIDIHDR* header = nullptr;
    MMRESULT result = MMSYSERR_NOERROR;
};

// Never freed: a courier given up on still runs, and its thread reads it when its call returns.
Courier* idleCourier = nullptr;

// Waits until flag is no longer unset, for at most milliseconds (INFINITE: for ever); false
// when the time ran out first. An address wait may wake for nothing, so the flag decides.
bool AwaitFlag(std::atomic<LONG>& flag, DWORD milliseconds) {
    const std::uint32_t start = ReadMillisecondClock();
    while (flag.load() == 0) {
        DWORD left = INFINITE;
        if (milliseconds != INFINITE) {
            const std::uint32_t elapsed = ReadMillisecondClock() - start;
            if (elapsed >= milliseconds)
                return false;
            left = milliseconds - elapsed;
        }
        LONG unset = 0;
        WaitOnAddress(&flag, &unset, sizeof unset, left);
    }
    return true;
}

void RaiseFlag(std::atomic<LONG>& flag) {
    flag.store(1);
    WakeByAddressSingle(&flag);
}

DWORD WINAPI Deliver(void* parameter) {
    auto* courier = static_cast<Courier*>(parameter);
    for (;;) {
        AwaitFlag(courier->called, INFINITE);
        courier->called.store(0);
        courier->result = midiOutLongMsg(courier->handle, courier->header, sizeof(MIDIHDR));
        RaiseFlag(courier->returned);
    }
}

Courier* HireCourier() {
    auto* courier = new (std::nothrow) Courier{};
    if (courier == nullptr)
        return nullptr;
    HANDLE thread = CreateThread(nullptr, 0, Deliver, courier, 0, nullptr);
    if (thread == nullptr) {
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
    courier.returned.store(0);
    RaiseFlag(courier.called);
    if (!AwaitFlag(courier.returned, milliseconds)) {
        idleCourier = nullptr;
        return std::nullopt;
    }
    return courier.result;
}
