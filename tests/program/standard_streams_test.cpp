// The program started with its standard streams closed. A file opened while descriptor 1 is
// free would receive the console text: libjack opens its metadata database on every run, and
// holds it while a client of a running server is open.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image_writer.h"
#include "jack_server.h"
#include "program_runner.h"

namespace {

// Under ThreadSanitizer, libjack's jack_client_close hung once in fifteen runs of this test, at
// the program's exit, its own client thread waiting on a condition: a hang of the sanitizer's
// interception that the plain and address-sanitized builds, which run this test too, never show.
#if defined(__SANITIZE_THREAD__)
constexpr bool underThreadSanitizer = true;
#else
constexpr bool underThreadSanitizer = false;
#endif

// What the run under a user of the test's own found; its process reports it as exit status.
enum Finding {
    clean = 0,
    textInAFile = 1,
    noServer = 2,
    noFileOpened = 3,
    programFailed = 4,
    userRefused = 5,
};

// libjack keeps each user's database in a folder of that user's own.
std::string JackDatabaseFolder(uid_t user) {
    return "/dev/shm/jack_db-" + std::to_string(user);
}

// ThreadSanitizer's settings name a file of suppressions in the checkout, which the user may not
// be able to read: it then refuses to run the program. A copy in the scratch folder takes its
// place. Nothing when no such file is named.
std::vector<std::string> SanitizerSettingsFor(const ScratchFolder& folder) {
    const char* settings = std::getenv("TSAN_OPTIONS");
    if (settings == nullptr)
        return {};
    std::string text = settings;
    const std::string key = "suppressions=";
    const std::size_t start = text.find(key);
    if (start == std::string::npos)
        return {};
    const std::size_t valueStart = start + key.size();
    const std::size_t valueEnd = text.find_first_of(" :", valueStart);
    const std::string copy = folder.File("thread-sanitizer.supp");
    std::filesystem::copy_file(text.substr(valueStart, valueEnd - valueStart), copy);
    text.replace(valueStart,
                 valueEnd == std::string::npos ? std::string::npos : valueEnd - valueStart, copy);
    return {"TSAN_OPTIONS=" + text};
}

// Starts a JACK server as the current user, runs the program with descriptors 0 to 2 closed,
// and looks for its console text in the database files while the server still holds them.
Finding RunWithStreamsClosed(const std::string& program, const std::string& folder,
                             const std::vector<std::string>& sanitizerSettings) {
    const PrivateJackServer server(folder + "/jack-server");
    if (!server.IsRunning())
        return noServer;
    std::vector<std::string> environment = server.Environment();
    environment.insert(environment.end(), sanitizerSettings.begin(), sanitizerSettings.end());
    const ProgramResult result =
        RunProgram(folder, "sh -c \"exec '" + program + "' <&- >&- 2>&-\"", environment);
    if (result.exitStatus != 0)
        return programFailed;
    bool opened = false;
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(JackDatabaseFolder(getuid()), ignored)) {
        opened = true;
        const std::string content = ReadFile(entry.path().string());
        for (const char* text : {"Update V0.3", "OK: File", "Failed: Can't find", "Press any"}) {
            if (content.find(text) != std::string::npos)
                return textInAFile;
        }
    }
    return opened ? clean : noFileOpened;
}

TEST(StandardStreams, ClosedOnesTakeNoFileThatIsOpenedLater) {
    // Under a user id of its own the test's server and database are its own: the machine's
    // real JACK database is never touched, whatever the program does.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program under a user id of its own";
    if (underThreadSanitizer)
        GTEST_SKIP() << "libjack's client close may hang under ThreadSanitizer";
    const uid_t user = 60000 + static_cast<uid_t>(getpid() % 5000);
    std::filesystem::remove_all(JackDatabaseFolder(user));

    ScratchFolder folder;
    const std::string image = WriteImageText(MakeImage({MakePayload(40, 2)}));
    folder.Write("TB615R.led", image);
    // Copies that the user may run, wherever the checkout lies: Debian makes each home folder
    // closed to others.
    const std::string program = folder.File("update");
    std::filesystem::copy_file(UPDATE_PROGRAM, program);
    std::filesystem::copy_file(JACK_SERVER_SCRIPT, folder.File("jack-server"));
    const std::vector<std::string> sanitizerSettings = SanitizerSettingsFor(folder);
    ASSERT_EQ(chown(folder.Path().c_str(), user, user), 0);

    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)
            _exit(userRefused);
        _exit(RunWithStreamsClosed(program, folder.Path(), sanitizerSettings));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::filesystem::remove_all(JackDatabaseFolder(user));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), clean)
        << "1: console text in a database file, 2: no server, 3: no database file, "
           "4: the program failed, 5: no such user";
    EXPECT_EQ(ReadFile(folder.File("TB615R.led")), image);
}

}  // namespace
