// Windows' events where Windows is missing, for the outputs that signal them. An event handle
// stays valid until CloseHandle; a wait on a handle that is not an open event fails at once.
#include <memory>
#include <mutex>
#include <set>

#include "platform/system/clock.h"
#include "platform/winmm/winmm_standin_posix.h"

namespace {

struct EventState {
    bool manualReset;
    // Set on the thread that signals, taken on the one that waits.
    bool signalled;
};

std::mutex eventMutex;
std::set<EventState*> liveEvents;

// Runs change on the event behind handle, under the lock; false for a handle that is no event.
template <typename Change>
bool WithEvent(HANDLE handle, Change change) {
    std::lock_guard lock(eventMutex);
    const auto found = liveEvents.find(static_cast<EventState*>(handle));
    if (found == liveEvents.end())
        return false;
    change(**found);
    return true;
}

// Whether the event is signalled; an auto-reset event is cleared by being taken.
bool TakeSignal(EventState& event) {
    const bool signalled = event.signalled;
    if (!event.manualReset)
        event.signalled = false;
    return signalled;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
    if (lpEventAttributes != nullptr || lpName != nullptr)
        return nullptr;
    auto event = std::make_unique<EventState>(EventState{bManualReset != 0, bInitialState != 0});
    std::lock_guard lock(eventMutex);
    liveEvents.insert(event.get());
    return event.release();
}

BOOL SetEvent(HANDLE hEvent) {
    return WithEvent(hEvent, [](EventState& event) { event.signalled = true; }) ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE hObject) {
    std::lock_guard lock(eventMutex);
    auto* event = static_cast<EventState*>(hObject);
    if (liveEvents.erase(event) == 0)
        return FALSE;
    delete event;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    bool live = true;
    const auto ready = [hHandle, &live] {
        // The outputs have no thread of their own to notice the end of a message: the wait
        // looks for them, and they signal their events as a driver would.
        standin::NoticeFinishedMessages();
        bool signalled = false;
        live =
            WithEvent(hHandle, [&signalled](EventState& event) { signalled = TakeSignal(event); });
        return signalled || !live;
    };
    const bool woken = WaitUntilReady(dwMilliseconds, ready);
    if (!live)
        return WAIT_FAILED;
    return woken ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
