// The whole console output of the program for each ending of the run that needs no device.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "case_name.h"
#include "image_writer.h"
#include "program_runner.h"

namespace {

const std::string banner = "Update V0.3 - Update KELVORIN TV615R System\n";
const std::string prompt = "Press any key to continue . . . \n";
// No MIDI system answers: no JACK server of this name runs.
const std::string noMidi = "JACK_DEFAULT_SERVER=update-test-no-server";
const std::string noDevice = "\nFailed: Can't find the suitable device to update!\n\n";

std::string ValidImageText() {
    return WriteImageText(MakeImage({{0x01, 0x02, 0x03}, {}, MakePayload(40, 3)}));
}

ProgramResult RunIn(const ScratchFolder& folder, const std::string& arguments = "") {
    return RunProgram(folder.Path(), std::string("'") + UPDATE_PROGRAM + "' " + arguments, noMidi);
}

void ExpectRun(const ProgramResult& result, const std::string& messages) {
    EXPECT_EQ(result.output, banner + messages + prompt);
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(ImageRun, NoImageFile) {
    ScratchFolder folder;
    folder.Write("TB615R.txt", ValidImageText());
    ExpectRun(RunIn(folder), "Error: File '*.led' is not found.\n\n");
}

TEST(ImageRun, FirstEntryInNameOrderLacksThePrefix) {
    ScratchFolder folder;
    folder.Write("TB615R.led", ValidImageText());
    folder.Write("b.led", ValidImageText());
    ExpectRun(RunIn(folder), "Error: The fit file is not found.\n\n");
}

TEST(ImageRun, NameDifferingInADigitIsRefused) {
    ScratchFolder folder;
    folder.Write("TB616R.led", ValidImageText());
    ExpectRun(RunIn(folder), "Error: The fit file is not found.\n\n");
}

void MakeFolder(const std::string& path) {
    std::filesystem::create_directory(path);
}

void MakeFifo(const std::string& path) {
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
}

void MakeSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    path.copy(address.sun_path, path.size());
    const int socketDescriptor = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socketDescriptor, 0);
    EXPECT_EQ(bind(socketDescriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(socketDescriptor);
}

// A device that reads as endless zero bytes: opened, it would load nothing and be refused as
// damaged instead of not found.
void MakeLinkToDevice(const std::string& path) {
    std::filesystem::create_symlink("/dev/zero", path);
}

struct EntryCase {
    const char* name;
    void (*make)(const std::string& path);
};

class SpecialEntryNamedLikeTheImage : public testing::TestWithParam<EntryCase> {};

TEST_P(SpecialEntryNamedLikeTheImage, IsNotFoundWithoutWaiting) {
    ScratchFolder folder;
    GetParam().make(folder.File("TB615R.led"));
    // A run that waits for a writer of the FIFO is ended by timeout, with status 124.
    const ProgramResult result =
        RunProgram(folder.Path(), std::string("timeout 20 '") + UPDATE_PROGRAM + "'", noMidi);
    ExpectRun(result, "Error: File 'TB615R.led' is not found.\n\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, SpecialEntryNamedLikeTheImage,
                         testing::Values(EntryCase{"Folder", MakeFolder},
                                         EntryCase{"Fifo", MakeFifo},
                                         EntryCase{"Socket", MakeSocket},
                                         EntryCase{"LinkToDevice", MakeLinkToDevice}),
                         NameCase);

TEST(ImageRun, BadChecksum) {
    ScratchFolder folder;
    folder.Write("TB615R_v2.led", "00 05 01 02 03 FF FA\r\n");
    ExpectRun(RunIn(folder),
              "OK: File 'TB615R_v2.led' is open.\nError: The upgrade file is error!\n\n");
}

TEST(ImageRun, ValidImageWithAnyCaseGoesOnToTheDevice) {
    ScratchFolder folder;
    // Upper-case order puts "TB615R0" before "tb615r1" although 't' sorts after 'T'.
    folder.Write("tb615r1.LED", ValidImageText());
    folder.Write("TB615R0.Led", ValidImageText());
    ExpectRun(RunIn(folder, "ignored --arguments"), "OK: File 'TB615R0.Led' is open.\n" + noDevice);
}

struct NothingCase {
    const char* name;
    std::string text;
};

class ImageLoadingNothing : public testing::TestWithParam<NothingCase> {};

// Reading ends at the first character that cannot begin a field; when that is the first
// character, nothing is loaded and no device is looked for.
TEST_P(ImageLoadingNothing, IsRefusedBeforeAnyPort) {
    ScratchFolder folder;
    folder.Write("TB615R.led", GetParam().text);
    ExpectRun(RunIn(folder),
              "OK: File 'TB615R.led' is open.\nError: The upgrade file is error!\n\n");
}

const std::string byteOrderMark = "\xEF\xBB\xBF";
const std::string binaryHead = {'\x7F', 'E', 'L', 'F', '\x02', '\x01', '\x00', '\x00'};

INSTANTIATE_TEST_SUITE_P(
    Texts, ImageLoadingNothing,
    testing::Values(NothingCase{"Empty", ""}, NothingCase{"OnlyBlanks", " \t\r\n\r\n  "},
                    NothingCase{"TextBeforeFields", "Image for TB615R:\n00 02 00 00"},
                    NothingCase{"ColonBeforeFields", ":10 00 05 01 02 03 FA FF"},
                    NothingCase{"ByteOrderMark", byteOrderMark + "00 02 00 00\r\n"},
                    NothingCase{"BinaryData", binaryHead}),
    NameCase);

TEST(ImageRun, LongNameIsKeptWhole) {
    ScratchFolder folder;
    const std::string name = "TB615R" + std::string(150, 'x') + ".led";
    folder.Write(name, ValidImageText());
    ExpectRun(RunIn(folder), "OK: File '" + name + "' is open.\n" + noDevice);
}

TEST(ImageRun, ImageTooLargeForTheCountIsRefused) {
    ScratchFolder folder;
    // Valid records throughout, but more of them than a 16-bit count can hold.
    std::vector<Bytes> payloads(300, MakePayload(250, 9));
    folder.Write("TB615R.led", WriteImageText(MakeImage(payloads)));
    ExpectRun(RunIn(folder),
              "OK: File 'TB615R.led' is open.\nError: The upgrade file is error!\n\n");
}

}  // namespace
