// Advisory locks that the updaters of one user share, one per name, so that a MIDI port that
// one updater has open is refused to the others, as Windows refuses a port in use. The MIDI
// systems themselves let any number of programs connect to a port. Used by the RtMidi host.
#pragma once

#include <memory>
#include <string>

// A lock held by this process for as long as the object lives; the system releases it when
// the process ends, however it ends.
class PortLock {
public:
    // The lock on name, or null when another process holds it. Where no folder of the
    // user's own can hold locks, every lock is granted, so that updating still works.
    static std::unique_ptr<PortLock> Take(const std::string& name);
    // Whether a process holds the lock on name through a PortLock other than this caller's.
    static bool IsHeld(const std::string& name);

    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

private:
    PortLock(int descriptor, std::string path);

    int descriptor_;
    std::string path_;
};
