// The USB stick on the simulated board: the wait for the stick, its boot package, its slot
// replacements, its application image, and the file chooser of rescue mode.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "stick_board.h"

namespace {

using namespace stick_board;

struct UsbStick : ::testing::Test {
    std::string board = board_with_slot1_app();
    void SetUp() override { allow_usb_boot(board); }
    std::string log() { return read_text_file(board + "/log"); }
};

TEST_F(UsbStick, NoStickGivesTenDotsThenTimesOutAndBootsTheSlot) {
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 30)) << session.output;
    wait_exit(session);
    EXPECT_TRUE(contains(plain(session.output),
                         "this can take up to 10 seconds.\n..........USB mount timed out\n"))
        << session.output;
    EXPECT_FALSE(contains(session.output, "USB mounted and ready!"));
    EXPECT_FALSE(contains(session.output, "No boot image found on USB."));
}

// The one test of the real one-second waits: the marker appears 1.5 s after power-on.
TEST_F(UsbStick, StickReadyInTheSecondSecondGivesOneDot) {
    bmsim_ok({"usb", board, "insert", "--ready-after", "1.5"});
    ConsoleSession session = start_boot(board, {"--timeout", "60"});
    ASSERT_TRUE(expect(session, "Attempting to mount file system on USB flash drive")) << session.output;
    auto announced = std::chrono::steady_clock::now();
    ASSERT_TRUE(expect(session, "USB mounted and ready!")) << session.output;
    std::chrono::duration<double> waited = std::chrono::steady_clock::now() - announced;
    EXPECT_GE(waited.count(), 1.5);
    EXPECT_TRUE(contains(plain(session.output), "seconds.\n.USB mounted and ready!\n")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING")) << session.output;
    wait_exit(session);
}

TEST_F(UsbStick, BootPackageIsInstalledThenRebootsAndIsSkippedNextTime) {
    ImageSpec kernel;
    kernel.type = 0x03504754;
    kernel.id = VERSION_2;
    std::vector<uint8_t> kernel_image = build_image(kernel, std::vector<uint8_t>(5000, 0x5A));
    insert_stick(board);
    put_on_stick(board, "NXR4417_Boot.img", kernel_image);

    std::vector<std::string> args = FAST;
    args.insert(args.end(), {"--power-cycles", "2"});
    ConsoleSession session = start_boot(board, args);
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 40)) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;

    std::string text = plain(session.output);
    EXPECT_TRUE(in_order(text, {"Boot image found on USB.", "Installing Kernel: ", "File processed",
                                "Boot image found on USB.",
                                "Image has same version as existing image. Skipping update...",
                                "ERROR: No valid image found", "No valid image found on USB",
                                "APPLICATION slot1 RUNNING"}))
        << text;
    std::vector<uint8_t> kernel_partition = read_binary_file(board + "/mtd/kernel.bin");
    ASSERT_GE(kernel_partition.size(), kernel_image.size());
    EXPECT_TRUE(std::equal(kernel_image.begin(), kernel_image.end(), kernel_partition.begin()));
    EXPECT_TRUE(in_order(log(), {"bmsim: start 1 ended: reboot requested", "bmsim: start 2\n",
                                 "application launched by /bin/backtrace"}))
        << log();
}

TEST_F(UsbStick, BothReplacementsAreInstalledSlotTwoFirstAndSlotOneBoots) {
    put_in_slot(board, 2, app_image("slot2"));
    std::vector<uint8_t> replace1 = app_image("replace1", VERSION_2);
    std::vector<uint8_t> replace2 = app_image("replace2", VERSION_2);
    insert_stick(board);
    put_on_stick(board, "NXR4417_replace1_OS.img", replace1);
    put_on_stick(board, "NXR4417_replace2_OS.img", replace2);
    // A stick application image is not looked at once a replacement went in.
    put_on_stick(board, "NXR4417_OS.img", app_image("usb"));

    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION replace1 RUNNING", 30)) << session.output;
    wait_exit(session);
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
}

TEST_F(UsbStick, ReplacementOfTheInstalledVersionIsSkipped) {
    std::vector<uint8_t> slot2 = app_image("slot2");
    put_in_slot(board, 2, slot2);
    insert_stick(board);
    put_on_stick(board, "NXR4417_replace2_OS.img", slot2);
    set_eeprom(board, "0x100", "2");

    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION slot2 RUNNING", 30)) << session.output;
    wait_exit(session);
    std::string text = plain(session.output);
    EXPECT_TRUE(in_order(text, {"replacement for image2 found", "Image2 has same version as existing image",
                                "No valid image found on USB\n"}))
        << text;
    EXPECT_FALSE(contains(text, "successfully replaced"));
    EXPECT_FALSE(contains(text, "board will boot with"));
}

TEST_F(UsbStick, ApplicationImageBootsOnFirstSightThenIsAskedAbout) {
    insert_stick(board);
    put_on_stick(board, "NXR4417_OS.img", app_image("usb"));

    ConsoleSession first = start_boot(board, FAST);
    EXPECT_TRUE(expect(first, "Booting image 'NXR4417_OS.img' from USB stick.")) << first.output;
    EXPECT_TRUE(expect(first, "APPLICATION usb RUNNING", 30)) << first.output;
    wait_exit(first);
    EXPECT_FALSE(contains(first.output, "rejected list"));
    EXPECT_EQ(eeprom_byte(board, 0x13A), 3);
    std::vector<std::string> entries = rejected_entries(board);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], md5_of(board + "/usb/NXR4417_OS.img"));

    ConsoleSession second = start_boot(board, FAST);
    EXPECT_TRUE(expect(second, "USB image is in rejected list.")) << second.output;
    EXPECT_TRUE(expect(second, "Would you still like to load it? (y/n) ")) << second.output;
    EXPECT_TRUE(expect(second, "Timeout. Assuming \"no\".")) << second.output;
    EXPECT_TRUE(expect(second, "USB Boot failed. Trying flash images.")) << second.output;
    EXPECT_TRUE(expect(second, "APPLICATION slot1 RUNNING", 30)) << second.output;
    wait_exit(second);
    EXPECT_FALSE(contains(second.output, "APPLICATION usb RUNNING"));
    EXPECT_EQ(eeprom_byte(board, 0x13A), 1);
    EXPECT_EQ(rejected_entries(board).size(), 1u);
}

TEST_F(UsbStick, ApplicationImageWithBadCrcFallsBackToFlash) {
    std::vector<uint8_t> image = app_image("usb");
    image[image.size() / 2] ^= 0x01;
    insert_stick(board);
    put_on_stick(board, "NXR4417_OS.img", image);

    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 30)) << session.output;
    wait_exit(session);
    EXPECT_TRUE(in_order(plain(session.output), {"Booting image 'NXR4417_OS.img' from USB stick.\n",
                                                 "USB image CRC failed.", "USB Boot failed. Trying flash images.\n"}))
        << session.output;
    EXPECT_EQ(rejected_entries(board).size(), 1u);
}

// ---- the file chooser of rescue mode (letter U) ----

struct UsbChooser : ::testing::Test {
    std::string board = board_with_slot1_app();
    ConsoleSession session;

    void SetUp() override {
        bmsim_ok({"env", board, "diagnostics=rescue"});
        insert_stick(board);
    }
    void TearDown() override { stop_session(session); }

    void open_chooser() {
        ASSERT_TRUE(expect(session, "Option? : ")) << session.output;
        send_keys(session, "u");
        ASSERT_TRUE(expect(session, "Choose file number to install (q to quit): ")) << session.output;
    }

    // Number and name of every entry listed by the last chooser.
    std::vector<std::pair<int, std::string>> listed() {
        std::string text = plain(session.output);
        size_t prompt = text.rfind("Choose file number to install");
        size_t start = text.rfind("Option? : ", prompt);
        std::string listing = text.substr(start, prompt - start);
        std::vector<std::pair<int, std::string>> entries;
        std::regex row("\t([0-9]+): ([^\n]*)\n");
        for (std::sregex_iterator it(listing.begin(), listing.end(), row), end; it != end; ++it)
            entries.emplace_back(std::stoi((*it)[1]), (*it)[2]);
        return entries;
    }

    int number_of(const std::string& name) {
        for (const auto& [number, listed_name] : listed())
            if (listed_name == name) return number;
        return -1;
    }
};

TEST_F(UsbChooser, ListsFilesButNotFoldersAndInstallsTheChosenNumber) {
    std::vector<uint8_t> package = app_image("chosen", VERSION_2);
    put_on_stick(board, "package.img", package);
    put_on_stick(board, "notes.txt", {'h', 'i'});
    put_on_stick(board, "folder/inside.img", package);
    std::filesystem::create_directory_symlink("folder", board + "/usb/link-to-folder");

    session = start_boot(board, FAST);
    open_chooser();
    std::vector<std::pair<int, std::string>> entries = listed();
    std::set<std::string> names;
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].first, static_cast<int>(i + 1));
        names.insert(entries[i].second);
    }
    EXPECT_EQ(names, (std::set<std::string>{"package.img", "notes.txt", "link-to-folder"})) << session.output;

    send_keys(session, "abc\r");
    EXPECT_TRUE(expect(session, "Invalid file number abc. Try again pleas")) << session.output;
    send_keys(session, "  " + std::to_string(number_of("package.img")) + "xyz\r");
    EXPECT_TRUE(expect(session, "Installing package.img")) << session.output;
    EXPECT_TRUE(expect(session, "Install image as image 1 or 2 (hit return to just boot image): ")) << session.output;
    send_keys(session, "2\r");
    EXPECT_TRUE(expect(session, "Image2 updated succeeded")) << session.output;
    EXPECT_TRUE(expect(session, "Please select one of the following options:")) << session.output;
    EXPECT_EQ(read_binary_file(slot_path(board, 2)), package);

    send_keys(session, "e");
    EXPECT_TRUE(expect(session, "APPLICATION chosen RUNNING", 30)) << session.output;
    wait_exit(session);
}

TEST_F(UsbChooser, QuitsWithQOrANumberOutsideTheList) {
    put_on_stick(board, "package.img", app_image("chosen", VERSION_2));
    session = start_boot(board, FAST);
    // Ctrl-C at the prompt is an interrupt, which quits like q.
    for (const char* answer : {"q\r", "Quit\r", "0\r", "-1\r", "9\r", "\x03"}) {
        open_chooser();
        send_keys(session, answer);
        EXPECT_TRUE(expect(session, "Please select one of the following options:")) << answer << session.output;
    }
    send_keys(session, "e");
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 30)) << session.output;
    wait_exit(session);
    EXPECT_FALSE(contains(session.output, "Installing "));
    EXPECT_FALSE(contains(session.output, "Invalid file number"));
    EXPECT_FALSE(std::filesystem::exists(slot_path(board, 2)));
}

// Names are shown and used as they are; nothing in them reaches a shell.
TEST_F(UsbChooser, OddAndLongNamesInstallWithoutRunningAnything) {
    // Were it run by a shell, the name would print INJECTED.
    const std::string odd = "it's \"odd\"; $(echo INJ''ECTED) `echo INJ\"\"ECTED`;echo INJ''ECTED | & > x.img";
    const std::string longest = std::string(251, 'n') + ".img";  // 255 characters, the longest name
    std::vector<uint8_t> odd_image = app_image("odd", VERSION_2);
    std::vector<uint8_t> long_image = app_image("long", VERSION_2);
    put_on_stick(board, odd, odd_image);
    put_on_stick(board, longest, long_image);

    session = start_boot(board, FAST);
    open_chooser();
    int odd_number = number_of(odd);
    ASSERT_GT(odd_number, 0) << session.output;
    send_keys(session, std::to_string(odd_number) + "\r");
    EXPECT_TRUE(expect(session, "Installing " + odd)) << session.output;
    EXPECT_TRUE(expect(session, "(hit return to just boot image): ")) << session.output;
    send_keys(session, "2\r");
    EXPECT_TRUE(expect(session, "Image2 updated succeeded")) << session.output;

    open_chooser();
    int long_number = number_of(longest);
    ASSERT_GT(long_number, 0) << session.output;
    send_keys(session, std::to_string(long_number) + "\r");
    EXPECT_TRUE(expect(session, "Installing " + longest)) << session.output;
    EXPECT_TRUE(expect(session, "(hit return to just boot image): ")) << session.output;
    send_keys(session, "1\r");
    EXPECT_TRUE(expect(session, "Image1 updated succeeded")) << session.output;

    send_keys(session, "e");
    EXPECT_TRUE(expect(session, "APPLICATION long RUNNING", 30)) << session.output;
    wait_exit(session);
    EXPECT_EQ(read_binary_file(slot_path(board, 2)), odd_image);
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), long_image);
    EXPECT_FALSE(contains(session.output, "INJECTED")) << session.output;
}

}  // namespace
