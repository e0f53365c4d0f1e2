// Port locks as flock(2) locks on files in a folder of the user's own. flock fits: the lock
// belongs to the open file, so it goes with the process, and nothing is left to clean up after
// a crash but an unlocked file.
#include "platform/midi_host/port_lock_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <utility>

namespace {

constexpr const char* folderName = "update-midi-ports";
// A file name holds at most 255 bytes; a longer port name keeps its start and a hash.
constexpr std::size_t longestFileName = 200;
// A holder that lets go removes its file; a taker that locked the removed file tries again.
constexpr int takeAttempts = 5;

// A folder that only this user can reach: anyone may create names in a shared folder, and a
// lock file there could be a trap laid by another user.
bool IsPrivateFolder(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

std::optional<std::string> PrivateFolderIn(const std::string& parent, const std::string& name) {
    const std::string path = parent + "/" + name;
    mkdir(path.c_str(), 0700);
    if (!IsPrivateFolder(path))
        return std::nullopt;
    return path;
}

// Every updater of the user must find the same folder. XDG_RUNTIME_DIR is the user's runtime
// folder in a login session; /run/user/UID is the same folder where a process has no session
// (su, a service); a shared temporary folder is the last resort.
std::optional<std::string> FindLockFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && IsPrivateFolder(runtime))
        return PrivateFolderIn(runtime, folderName);
    const std::string user = std::to_string(geteuid());
    if (IsPrivateFolder("/run/user/" + user))
        return PrivateFolderIn("/run/user/" + user, folderName);
    return PrivateFolderIn("/tmp", std::string(folderName) + "-" + user);
}

const std::optional<std::string>& LockFolder() {
    static const std::optional<std::string> folder = FindLockFolder();
    return folder;
}

// Letters, digits, '.', '-' and '_' stand for themselves, any other byte as %XX, so that
// different names never share a file.
std::string FileNameFor(const std::string& name) {
    std::string file;
    for (const char character : name) {
        const auto byte = static_cast<unsigned char>(character);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == '.' || byte == '-' || byte == '_') {
            file += character;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            file += escaped;
        }
    }
    if (file.size() > longestFileName) {
        char hash[20];
        std::snprintf(hash, sizeof hash, "~%016zx", std::hash<std::string>{}(name));
        file = file.substr(0, longestFileName - 17) + hash;
    }
    return file;
}

bool IsSameFile(int descriptor, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return fstat(descriptor, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

std::unique_ptr<PortLock> PortLock::Take(const std::string& name) {
    const std::optional<std::string>& folder = LockFolder();
    if (!folder)
        return std::unique_ptr<PortLock>(new PortLock(-1, ""));
    const std::string path = *folder + "/" + FileNameFor(name);
    for (int attempt = 0; attempt < takeAttempts; ++attempt) {
        const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (descriptor < 0)
            break;
        if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            const bool held = errno == EWOULDBLOCK;
            close(descriptor);
            if (held)
                return nullptr;
            break;
        }
        if (IsSameFile(descriptor, path))
            return std::unique_ptr<PortLock>(new PortLock(descriptor, path));
        close(descriptor);
    }
    // The folder is the user's own, so a file that cannot be locked there is a fault of the
    // system, not another updater: the port stays usable.
    return std::unique_ptr<PortLock>(new PortLock(-1, ""));
}

bool PortLock::IsHeld(const std::string& name) {
    const std::optional<std::string>& folder = LockFolder();
    if (!folder)
        return false;
    const std::string path = *folder + "/" + FileNameFor(name);
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0)
        return false;
    const bool held = flock(descriptor, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(descriptor);
    return held;
}

PortLock::PortLock(int descriptor, std::string path)
    : descriptor_(descriptor), path_(std::move(path)) {}

PortLock::~PortLock() {
    if (descriptor_ < 0)
        return;
    // Removed while still locked, so that no one locks a file that is about to go.
    unlink(path_.c_str());
    close(descriptor_);
}
