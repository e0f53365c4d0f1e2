// A JACK server of the test's own, on the dummy driver, for as long as the object lives.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

class PrivateJackServer {
public:
    // Starts jackd under a name no other test uses and waits until it answers.
    PrivateJackServer();
    // The same through a copy of scripts/jack-server: a test that runs as another user may not
    // be able to reach the checkout's own, in a home folder closed to others.
    explicit PrivateJackServer(std::string script);
    // Stops the server: SIGTERM, then SIGKILL if it has not ended within five seconds.
    ~PrivateJackServer();
    PrivateJackServer(const PrivateJackServer&) = delete;
    PrivateJackServer& operator=(const PrivateJackServer&) = delete;

    // Whether the server answered a client after it started.
    bool IsRunning() const { return running_; }
    const std::string& Name() const { return name_; }
    // The environment assignments (NAME=value) that make a program's MIDI system this server.
    std::vector<std::string> Environment() const;
    // Makes this process's later MIDI hosts use this server.
    void UseInThisProcess() const;
    // How many clients the server has now, its own two included.
    int ClientCount() const;
    // What jackd printed, to explain a server that did not start.
    std::string Log() const;
    // How many times so far a client did not finish its part of a cycle in time. The MIDI that
    // it carried in that cycle may be lost.
    std::size_t MissedCycles() const;

private:
    std::string script_;
    std::string name_;
    std::string logPath_;
    pid_t pid_ = -1;
    bool running_ = false;
};
