// The USB stick on the simulated board: the wait for the stick, its boot package, its slot
// replacements and application image with the rejected-image list, and the file chooser of
// rescue mode.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "scenario_board.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The board's rejected list names MD5 digests, which the switch's busybox computes as the host's
// md5sum does.
std::vector<std::string> rejected_entries(const std::string& board) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(board + "/user/images/rejected", error))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string md5_of(const std::string& path) {
    FILE* pipe = popen(("md5sum '" + path + "'").c_str(), "r");
    if (pipe == nullptr) return "";
    char digest[33] = "";
    size_t got = fread(digest, 1, 32, pipe);
    pclose(pipe);
    return std::string(digest, got);
}

void list_as_rejected(const std::string& board, const std::string& stick_file) {
    std::string digest = md5_of(board + "/usb/" + stick_file);
    EXPECT_EQ(digest.size(), 32u);
    std::filesystem::create_directories(board + "/user/images/rejected");
    write_binary_file(board + "/user/images/rejected/" + digest, {});
}

// A board that allows USB boot, with a good application labelled "slot1" in slot 1.
struct UsbStick : Scenario {
    void SetUp() override {
        put_slot(board, 1, app_image("slot1"));
        set_eeprom(board, "0x13B", "0xD5");
    }
};

TEST_F(UsbStick, NoStickGivesTenDotsThenTimesOutAndBootsTheSlot) {
    boot();
    shows({"APPLICATION slot1 RUNNING"});
    ends();
    EXPECT_TRUE(contains(plain(session.output), "this can take up to 10 seconds.\n..........USB mount timed out\n"))
        << session.output;
    EXPECT_FALSE(contains(session.output, "USB mounted and ready!"));
    EXPECT_FALSE(contains(session.output, "No boot image found on USB."));
}

// The one test of the real one-second waits: the stick is ready 1.8 s after power-on, between
// the first try (a second after the announcement) and the second; the application's start
// pauses a second before unpacking.
TEST_F(UsbStick, StickReadyInTheSecondSecondGivesOneDotAtRealTime) {
    bmsim_ok({"usb", board, "insert", "--ready-after", "1.8"});
    session = start_boot(board, {"--timeout", "90"});
    shows({"Attempting to mount file system on USB flash drive"});
    Clock::time_point announced = Clock::now();
    shows({"USB mounted and ready!"});
    EXPECT_GE(seconds_since(announced), 1.5);
    shows({"Booting image '1'"});
    Clock::time_point booting = Clock::now();
    shows({"Running install script"});
    EXPECT_GE(seconds_since(booting), 0.9);
    shows({"APPLICATION slot1 RUNNING"});
    EXPECT_EQ(ends(), 0);
    EXPECT_TRUE(contains(plain(session.output), "seconds.\n.USB mounted and ready!\n")) << session.output;
}

// The package goes in and the switch reboots; the second start finds everything installed
// already: the version check skips the package and the slot 2 replacement.
TEST_F(UsbStick, BootPackageIsInstalledThenRebootsAndIsSkippedNextTime) {
    std::vector<uint8_t> kernel = flash_image(IMAGE_KERNEL, 5000, 0x5A, VERSION_2);
    std::vector<uint8_t> slot2 = app_image("slot2");
    put_slot(board, 2, slot2);
    bmsim_ok({"usb", board, "insert"});
    put_on_stick(board, "NXR4417_Boot.img", kernel);
    put_on_stick(board, "NXR4417_replace2_OS.img", slot2);
    boot({"--power-cycles", "2"});
    shows({"APPLICATION slot1 RUNNING"});
    EXPECT_EQ(ends(), 0);
    EXPECT_TRUE(in_order(plain(session.output),
                         {"Boot image found on USB.", "Installing Kernel: ", "File processed", "Boot image found on USB.",
                          "Image has same version as existing image. Skipping update...", "ERROR: No valid image found",
                          "USB image (file 'NXR4417_replace2_OS.img') replacement for image2 found\n",
                          "Installing Application: Installing image as image2: Image2 has same version as existing "
                          "image. Skipping update...\nFile processed\nERROR: No valid image found\n",
                          "No valid image found on USB\n", "APPLICATION slot1 RUNNING"}))
        << session.output;
    EXPECT_FALSE(contains(session.output, "successfully replaced")) << session.output;
    EXPECT_FALSE(contains(session.output, "board will boot with")) << session.output;
    EXPECT_TRUE(starts_with(read_binary_file(board + "/mtd/kernel.bin"), kernel));
    EXPECT_TRUE(in_order(log(), {"bmsim: start 1 ended: reboot requested", "bmsim: start 2\n",
                                 "application launched by /bin/backtrace"}))
        << log();
}

// Slot 2 first, then slot 1, which boots. Slot 2's replacement is over 42 MB, where bytes
// written × 100 no longer fit in 32 bits: its percent count must still climb steadily to 100.
TEST_F(UsbStick, BothReplacementsAreInstalledSlotTwoFirstAndSlotOneBoots) {
    put_slot(board, 2, app_image("slot2"));
    std::vector<uint8_t> replace1 = app_image("replace1", VERSION_2);
    std::vector<uint8_t> replace2 = image_of(IMAGE_APPLICATION, VERSION_2, pattern_bytes(43 * 1024 * 1024 - 16, 3));
    bmsim_ok({"usb", board, "insert"});
    put_on_stick(board, "NXR4417_replace1_OS.img", replace1);
    put_on_stick(board, "NXR4417_replace2_OS.img", replace2);
    // the stick's application image is not looked at once a replacement went in
    put_on_stick(board, "NXR4417_OS.img", app_image("usb"));
    boot();
    shows({"APPLICATION replace1 RUNNING"}, 90);
    ends();
    std::string text = plain(session.output);
    EXPECT_TRUE(in_order(text, {"USB image (file 'NXR4417_replace2_OS.img') replacement for image2 found\n",
                                "Image2 has been successfully replaced\n",
                                "USB image (file 'NXR4417_replace1_OS.img') replacement for image1 found\n",
                                "Image1 has been successfully replaced\n",
                                "USB replacement image: board will boot with image1.\n"}))
        << text;
    EXPECT_FALSE(contains(text, "from USB stick"));
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), replace1);
    EXPECT_EQ(read_binary_file(slot_path(board, 2)), replace2);
    EXPECT_EQ(eeprom_byte(board, 0x100), 1);
    EXPECT_TRUE(rejected_entries(board).empty());

    size_t start = text.find("Installing image as image2:     ");
    ASSERT_NE(start, std::string::npos);
    std::string counts = text.substr(start, text.find('\n', start) - start);
    std::vector<int> shown;
    for (size_t at = counts.find("\b\b\b\b"); at != std::string::npos; at = counts.find("\b\b\b\b", at + 4))
        shown.push_back(std::stoi(counts.substr(at + 4, 3)));
    ASSERT_EQ(shown.size(), 43u * 16 + 1);  // one count per 64 KiB piece, then the closing 100
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown[i], i + 1 < shown.size() ? int((uint64_t(i + 1) * 65536 * 100) / replace2.size()) : 100) << i;
}

// First sight: booted without a question and entered in the rejected list. Next start: asked
// about, no answer, so the flash boots. Renamed as slot 1's replacement it is still known by its
// content, and loaded once the operator agrees.
TEST_F(UsbStick, ApplicationImageIsBootedOnceThenAskedAboutUnderAnyName) {
    std::vector<uint8_t> usb = app_image("usb", VERSION_2);
    bmsim_ok({"usb", board, "insert"});
    put_on_stick(board, "NXR4417_OS.img", usb);
    boot();
    shows({"Booting image 'NXR4417_OS.img' from USB stick.", "APPLICATION usb RUNNING"});
    ends();
    EXPECT_FALSE(contains(session.output, "rejected list")) << session.output;
    EXPECT_EQ(eeprom_byte(board, 0x13A), 3);
    EXPECT_EQ(rejected_entries(board), std::vector<std::string>{md5_of(board + "/usb/NXR4417_OS.img")});

    boot();
    shows({"USB image is in rejected list.", "Would you still like to load it? (y/n) ", "Timeout. Assuming \"no\".",
           "USB Boot failed. Trying flash images.", "APPLICATION slot1 RUNNING"});
    ends();
    EXPECT_FALSE(contains(session.output, "APPLICATION usb RUNNING")) << session.output;
    EXPECT_EQ(eeprom_byte(board, 0x13A), 1);

    std::filesystem::rename(board + "/usb/NXR4417_OS.img", board + "/usb/NXR4417_replace1_OS.img");
    boot();
    shows({"Replacement USB image is in rejected list."});
    answer("Would you still like to load it? (y/n) ", "y\r");
    shows({"Continuing with replacement USB image...", "Image1 has been successfully replaced",
           "APPLICATION usb RUNNING"});
    ends();
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), usb);
    EXPECT_EQ(rejected_entries(board).size(), 1u);
}

// A bad CRC sends the stick's application image back to the flash; it stays listed. A
// replacement one byte away from a listed image (a byte of its stored CRC) is not listed, and
// the installer refuses it.
TEST_F(UsbStick, DamagedImagesFailWithoutTheRejectedListsQuestion) {
    std::vector<uint8_t> replacement = app_image("replacement", VERSION_2);
    bmsim_ok({"usb", board, "insert"});
    put_on_stick(board, "NXR4417_replace1_OS.img", replacement);
    list_as_rejected(board, "NXR4417_replace1_OS.img");
    replacement[0] ^= 0x01;
    put_on_stick(board, "NXR4417_replace1_OS.img", replacement);
    put_on_stick(board, "NXR4417_OS.img", spoiled(app_image("usb")));
    boot();
    shows({"APPLICATION slot1 RUNNING"});
    ends();
    EXPECT_TRUE(in_order(plain(session.output),
                         {"replacement for image1 found", "Bad crc for APPLICATION",
                          "Booting image 'NXR4417_OS.img' from USB stick.\n", "USB image CRC failed.",
                          "USB Boot failed. Trying flash images.\n"}))
        << session.output;
    EXPECT_FALSE(contains(session.output, "rejected list")) << session.output;
    std::vector<std::string> listed = rejected_entries(board);
    EXPECT_EQ(listed.size(), 2u);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), md5_of(board + "/usb/NXR4417_OS.img")), 1);
}

// No answer ends the whole check: the other replacement and the stick's application image are
// not looked at, and the list is left as it was.
TEST_F(UsbStick, DeclinedReplacementEndsTheCheck) {
    std::vector<uint8_t> slot1 = read_binary_file(slot_path(board, 1));
    bmsim_ok({"usb", board, "insert"});
    put_on_stick(board, "NXR4417_replace2_OS.img", app_image("replacement", VERSION_2));
    put_on_stick(board, "NXR4417_replace1_OS.img", app_image("other", VERSION_2));
    put_on_stick(board, "NXR4417_OS.img", app_image("usb"));
    list_as_rejected(board, "NXR4417_replace2_OS.img");
    boot();
    shows({"replacement for image2 found", "Replacement USB image is in rejected list.", "Timeout. Assuming \"no\".",
           "APPLICATION slot1 RUNNING"});
    ends();
    for (const char* absent : {"replacement for image1 found", "Installing Application", "from USB stick"})
        EXPECT_FALSE(contains(session.output, absent)) << absent << session.output;
    EXPECT_FALSE(std::filesystem::exists(slot_path(board, 2)));
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), slot1);
    EXPECT_EQ(rejected_entries(board).size(), 1u);
}

// The number of every entry the last chooser listed, by name.
std::map<std::string, int> last_listing(const std::string& output) {
    std::string text = plain(output);
    size_t prompt = text.rfind("Choose file number to install");
    size_t start = text.rfind("Option? : ", prompt);
    std::string listing = text.substr(start, prompt - start);
    std::map<std::string, int> numbers;
    std::regex row("\t([0-9]+): ([^\n]*)\n");
    for (std::sregex_iterator it(listing.begin(), listing.end(), row), end; it != end; ++it)
        numbers[(*it)[2]] = std::stoi((*it)[1]);
    return numbers;
}

// The rescue menu's file chooser (letter U). Names are shown and used as they are: run by a
// shell, the odd one would print INJECTED; the long one has 255 characters, the most a name has.
TEST_F(UsbStick, ChooserListsFilesButNotFoldersQuitsAndInstallsByNumber) {
    const std::string odd = "it's \"odd\"; $(echo INJ''ECTED) `echo INJ\"\"ECTED`;echo INJ''ECTED | & > x.img";
    const std::string longest = std::string(251, 'n') + ".img";
    std::vector<uint8_t> odd_image = app_image("odd", VERSION_2);
    std::vector<uint8_t> long_image = app_image("long", VERSION_2);
    bmsim_ok({"env", board, "diagnostics=rescue"});
    bmsim_ok({"usb", board, "insert"});
    put_on_stick(board, odd, odd_image);
    put_on_stick(board, longest, long_image);
    put_on_stick(board, "notes.txt", {'h', 'i'});
    put_on_stick(board, "folder/inside.img", odd_image);
    std::filesystem::create_directory_symlink("folder", board + "/usb/link-to-folder");
    boot();
    // Ctrl-C at the prompt is an interrupt, which quits like q; so does a number outside the list.
    for (const char* quit : {"q\r", "Quit\r", "0\r", "-1\r", "9\r", "\x03"}) {
        answer("Option? : ", "u");
        answer("Choose file number to install (q to quit): ", quit);
        shows({"Please select one of the following options:"});
    }
    EXPECT_FALSE(contains(session.output, "Installing ")) << session.output;
    EXPECT_FALSE(contains(session.output, "Invalid file number")) << session.output;
    EXPECT_FALSE(std::filesystem::exists(slot_path(board, 2)));

    answer("Option? : ", "u");
    shows({"Choose file number to install (q to quit): "});
    std::map<std::string, int> numbers = last_listing(session.output);
    std::set<int> taken;
    for (const std::string& name : {odd, longest, std::string("notes.txt"), std::string("link-to-folder")}) {
        EXPECT_EQ(numbers.count(name), 1u) << name << session.output;
        taken.insert(numbers[name]);
    }
    EXPECT_EQ(numbers.size(), 4u) << session.output;
    EXPECT_EQ(taken, (std::set<int>{1, 2, 3, 4})) << session.output;
    send_keys(session, "abc\r");
    shows({"Invalid file number abc. Try again pleas"});
    send_keys(session, "  " + std::to_string(numbers[odd]) + "xyz\r");
    shows({"Installing " + odd});
    answer("Install image as image 1 or 2 (hit return to just boot image): ", "2\r");
    shows({"Image2 updated succeeded", "Please select one of the following options:"});
    answer("Option? : ", "u");
    answer("Choose file number to install (q to quit): ", std::to_string(numbers[longest]) + "\r");
    shows({"Installing " + longest});
    answer("(hit return to just boot image): ", "1\r");
    shows({"Image1 updated succeeded"});
    answer("Option? : ", "e");
    shows({"APPLICATION long RUNNING"});
    ends();
    EXPECT_EQ(read_binary_file(slot_path(board, 2)), odd_image);
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), long_image);
    EXPECT_FALSE(contains(session.output, "INJECTED")) << session.output;
}

}  // namespace
