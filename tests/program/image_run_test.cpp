// The whole console output of the program for each ending of the run that needs no device.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "case_name.h"
#include "console_text.h"
#include "image_writer.h"
#include "program_runner.h"

namespace {

// No MIDI system answers: no JACK server of this name runs.
const std::vector<std::string> noMidi = {"UPDATE_MIDI_SYSTEM=jack",
                                         "JACK_DEFAULT_SERVER=update-test-no-server"};

std::string ValidImageText() {
    return WriteImageText(MakeImage({{0x01, 0x02, 0x03}, {}, MakePayload(40, 3)}));
}

ProgramResult RunIn(const ScratchFolder& folder, const std::string& arguments = "") {
    return RunProgram(folder.Path(), std::string("'") + UPDATE_PROGRAM + "' " + arguments, noMidi);
}

void ExpectRun(const ProgramResult& result, const std::string& messages) {
    EXPECT_EQ(result.output, PosixConsole(messages));
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
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

const std::string byteOrderMark = "\xEF\xBB\xBF";
const std::string binaryHead = {'\x7F', 'E', 'L', 'F', '\x02', '\x01', '\x00', '\x00'};
const std::string longName = "TB615R" + std::string(150, 'x') + ".led";

struct File {
    std::string name;
    std::string text;
};

struct FolderCase {
    const char* name;
    std::vector<File> files;
    std::string messages;
    std::string arguments = "";
};

class ImageRun : public testing::TestWithParam<FolderCase> {};

TEST_P(ImageRun, PrintsItsEnding) {
    ScratchFolder folder;
    for (const File& file : GetParam().files)
        folder.Write(file.name, file.text);
    ExpectRun(RunIn(folder, GetParam().arguments), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ImageRun,
    testing::Values(
        FolderCase{"NoImageFile",
                   {{"TB615R.txt", ValidImageText()}},
                   "Error: File '*.led' is not found.\n\n"},
        FolderCase{"FirstEntryInNameOrderLacksThePrefix",
                   {{"TB615R.led", ValidImageText()}, {"b.led", ValidImageText()}},
                   noFitFile},
        FolderCase{"NameDifferingInADigit", {{"TB616R.led", ValidImageText()}}, noFitFile},
        FolderCase{"BadChecksum",
                   {{"TB615R_v2.led", "00 05 01 02 03 FF FA\r\n"}},
                   OpenedLine("TB615R_v2.led") + imageDamaged},
        // Upper-case order puts "TB615R0" before "tb615r1" although 't' sorts after 'T'.
        FolderCase{"ValidImageWithAnyCase",
                   {{"tb615r1.LED", ValidImageText()}, {"TB615R0.Led", ValidImageText()}},
                   OpenedLine("TB615R0.Led") + noDeviceFound,
                   "ignored --arguments"},
        FolderCase{"LongNameIsKeptWhole",
                   {{longName, ValidImageText()}},
                   OpenedLine(longName) + noDeviceFound},
        // Valid records throughout, but more of them than a 16-bit count can hold.
        FolderCase{"TooLargeForTheCount",
                   {{"TB615R.led",
                     WriteImageText(MakeImage(std::vector<Bytes>(300, MakePayload(250, 9))))}},
                   OpenedLine("TB615R.led") + imageDamaged},
        // Images that load nothing: reading ends at the first character that cannot begin a
        // field, and when that is the first character no device is looked for.
        FolderCase{"Empty", {{"TB615R.led", ""}}, OpenedLine("TB615R.led") + imageDamaged},
        FolderCase{"OnlyBlanks",
                   {{"TB615R.led", " \t\r\n\r\n  "}},
                   OpenedLine("TB615R.led") + imageDamaged},
        FolderCase{"TextBeforeFields",
                   {{"TB615R.led", "Image for TB615R:\n00 02 00 00"}},
                   OpenedLine("TB615R.led") + imageDamaged},
        FolderCase{"ColonBeforeFields",
                   {{"TB615R.led", ":10 00 05 01 02 03 FA FF"}},
                   OpenedLine("TB615R.led") + imageDamaged},
        FolderCase{"ByteOrderMark",
                   {{"TB615R.led", byteOrderMark + "00 02 00 00\r\n"}},
                   OpenedLine("TB615R.led") + imageDamaged},
        FolderCase{
            "BinaryData", {{"TB615R.led", binaryHead}}, OpenedLine("TB615R.led") + imageDamaged}),
    NameCase);

}  // namespace
