// The USB stick on the simulated board: the wait for the stick, its boot package, its slot
// replacements and application image with the rejected-image list, and the file chooser of
// rescue mode.
// Faults tried: keeping USB boot enabled after the stick never became ready, or reading the
// EEPROM boot slot even after a replacement was installed ->
// UsbStick.PackageAndReplacementsAreInstalledOnceThenSkippedThenTheStickIsGivenUp fails; so does
// a replacement skipped as already installed that still sets the boot slot. A break at the slot
// question left set -> UsbStick.BreakAtTheSlotQuestionCancelsTheInstallAndIsUsedUp (the menu's
// first key dropped, or with the break-aware wait an extra prompt). The slot file truncated and
// written in place, a flush after each piece, no fallback message without room for two copies
// -> UsbStick.InstallIntoTheBootSlotCutShortKeepsTheOldImage.
#include <chrono>

#include "scenario_board.h"

namespace {

// A board that allows USB boot, with a good application labelled "slot1" in slot 1.
struct UsbStick : Scenario {
    void SetUp() override {
        put_slot(1, app_image("slot1"));
        set_eeprom("0x13B", "0xD5");
    }
    std::vector<std::string> rejected() { return file_names(board + "/user/images/rejected"); }
    // Real seconds until the console shows the text.
    double seconds_to(const std::string& text) {
        auto start = std::chrono::steady_clock::now();
        shows({text});
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

// The one test of the real one-second waits: the stick is ready 1.8 s after power-on, between
// the first try (a second after the announcement) and the second; the application's start
// pauses a second before unpacking.
TEST_F(UsbStick, StickReadyInTheSecondSecondGivesOneDotAtRealTime) {
    bmsim_ok({"usb", board, "insert", "--ready-after", "1.8"});
    boot({"--time-scale", "1"});
    shows({"Attempting to mount file system on USB flash drive"});
    EXPECT_GE(seconds_to("USB mounted and ready!"), 1.5);
    shows({"Booting image '1'"});
    EXPECT_GE(seconds_to("Running install script"), 0.9);
    shows({"APPLICATION slot1 RUNNING"});
    ends();
    EXPECT_TRUE(has(plain(session.output), {"seconds.\n.USB mounted and ready!\n"}));
}

// The boot package goes in and the switch reboots. The second start skips the package (same
// version) and installs slot 2's replacement, then slot 1's, and boots slot 1 as it is, without
// reading the boot slot back or looking at the stick's application image. The third finds
// everything installed, and makes each replaced slot the boot slot again in turn: the bad CRC of
// the stick's application image sends it back to the flash.
// With the stick gone the fourth gives it up after ten tries, without looking for any of its files.
TEST_F(UsbStick, PackageAndReplacementsAreInstalledOnceThenSkippedThenTheStickIsGivenUp) {
    put_slot(2, app_image("slot2"));
    Bytes kernel = flash_image(IMAGE_KERNEL, 5000, 0x5A, VERSION_2), replace1 = app_image("replace1", VERSION_2);
    Bytes replace2 = image_of(IMAGE_APPLICATION, VERSION_2, pattern_bytes(150000, 3));  // three 64 KiB pieces
    insert_stick({{"NXR4417_Boot.img", kernel},
                  {"NXR4417_replace1_OS.img", replace1},
                  {"NXR4417_replace2_OS.img", replace2},
                  {"NXR4417_OS.img", spoiled(app_image("usb"))}});
    boot_showing({"APPLICATION replace1 RUNNING"}, {"--power-cycles", "2"});
    EXPECT_TRUE(
        has(plain(session.output),
            {"Boot image found on USB.", "Installing Kernel: ", "File processed", "Boot image found on USB.",
             "Image has same version as existing image. Skipping update...", "ERROR: No valid image found",
             "USB image (file 'NXR4417_replace2_OS.img') replacement for image2 found\n",
             "Installing image as image2:     \b\b\b\b043%\b\b\b\b087%\b\b\b\b100%\b\b\b\b100%\n",
             "Image2 has been successfully replaced\n",
             "USB image (file 'NXR4417_replace1_OS.img') replacement for image1 found\n",
             "Image1 has been successfully replaced\n", "USB replacement image: board will boot with image1.\n"}));
    EXPECT_TRUE(lacks(session.output, {"from USB stick"}));
    EXPECT_TRUE(rejected().empty());
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(slot(1), replace1);
    EXPECT_EQ(slot(2), replace2);
    EXPECT_EQ(eeprom(0x100), 1);
    std::string devices = read_text_file(board + "/devices.log");
    EXPECT_FALSE(has(devices, {"i2c-0 write 0x54 01 00 01\n", "i2c-0 read 0x54 offset 256 "})) << devices;

    fs::remove(board + "/devices.log");
    boot_showing({"Boot image found on USB.", "Image has same version as existing image. Skipping update...",
                  "Installing Application: Installing image as image2: Image2 has same version as existing "
                  "image. Skipping update...\r\nFile processed\r\nERROR: No valid image found\r\n",
                  "Image1 has same version", "Booting image 'NXR4417_OS.img' from USB stick.\r\n",
                  "USB image CRC failed.", "USB Boot failed. Trying flash images.\r\n",
                  "APPLICATION replace1 RUNNING"});
    // replacements skipped as installed write nothing, the boot slot included: a stick left in
    // must not take the switch back to a slot
    EXPECT_TRUE(lacks(read_text_file(board + "/devices.log"), {"i2c-0 write 0x54 01 00 "}));

    bmsim_ok({"usb", board, "remove"});
    boot_showing({"APPLICATION replace1 RUNNING"});
    EXPECT_TRUE(has(plain(session.output),
                    {"this can take up to 10 seconds.\n..........USB mount timed out\nBooting image '1'\n"}));
}

// First sight: booted without a question and entered in the rejected list. Next start: asked
// about, no answer, so the flash boots. Renamed as slot 1's replacement it is still known by its
// content and loaded once the operator agrees, while slot 2's replacement, one byte away from it,
// is not known and is refused for its CRC. Last, the known image as slot 2's replacement gets no
// answer, which ends the whole check: slot 1's replacement and the stick's image are left alone.
TEST_F(UsbStick, ApplicationImageIsBootedOnceThenAskedAboutUnderAnyName) {
    const Bytes usb = app_image("usb", VERSION_2);
    insert_stick({{"NXR4417_OS.img", usb}});
    boot_showing({"Booting image 'NXR4417_OS.img' from USB stick.", "APPLICATION usb RUNNING"});
    EXPECT_TRUE(lacks(session.output, {"rejected list"}));
    EXPECT_EQ(eeprom(0x13A), 3);
    // the rejected list names MD5 digests, which the switch's busybox computes as the host's md5sum does
    EXPECT_EQ(rejected(), Texts{md5_of(board + "/usb/NXR4417_OS.img")});

    boot_showing({"USB image is in rejected list.", "Would you still like to load it? (y/n) ",
                  "Timeout. Assuming \"no\".", "USB Boot failed. Trying flash images.", "APPLICATION slot1 RUNNING"});
    EXPECT_EQ(eeprom(0x13A), 1);

    fs::rename(board + "/usb/NXR4417_OS.img", board + "/usb/NXR4417_replace1_OS.img");
    insert_stick({{"NXR4417_replace2_OS.img", spoiled(usb, 3)}});  // a byte of the stored CRC
    boot();
    shows({"replacement for image2 found", "Bad crc for APPLICATION", "replacement for image1 found",
           "Replacement USB image is in rejected list."});
    answer("Would you still like to load it? (y/n) ", "y\r");
    shows({"Continuing with replacement USB image...", "Image1 has been successfully replaced",
           "APPLICATION usb RUNNING"});
    ends();
    EXPECT_EQ(slot(1), usb);
    EXPECT_FALSE(fs::exists(slot_path(2)));
    EXPECT_EQ(rejected().size(), 1u);

    fs::rename(board + "/usb/NXR4417_replace1_OS.img", board + "/usb/NXR4417_replace2_OS.img");
    insert_stick({{"NXR4417_replace1_OS.img", app_image("other", VERSION_2)}, {"NXR4417_OS.img", app_image("new")}});
    boot_showing({"replacement for image2 found", "Replacement USB image is in rejected list.",
                  "Timeout. Assuming \"no\".", "APPLICATION usb RUNNING"});
    EXPECT_TRUE(lacks(session.output, {"replacement for image1 found", "Installing Application", "from USB stick"}));
    EXPECT_FALSE(fs::exists(slot_path(2)));
    EXPECT_EQ(rejected().size(), 1u);
}

// A break at the slot question of the stick's boot package cancels the install and is used up:
// the rescue menu that the unbootable slots lead to takes the operator's first key. The version
// report reads an empty slot file as 0.0.0.0 and fills a short one with zeros.
TEST_F(UsbStick, BreakAtTheSlotQuestionCancelsTheInstallAndIsUsedUp) {
    put_slot(1, {});
    put_slot(2, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 8});
    insert_stick({{"NXR4417_Boot.img", app_image("new", VERSION_2)}});
    boot();
    answer("Install image as image 1 or 2 (hit return to just boot image): ", "\x03");
    shows({"No valid application image found. Trying rescue image", "Option? : "});
    press("V");
    shows({"OS image 1  : 0.0.0.0\r\n\tOS image 2  : 9.8.0.0\r\n", "Option? : "});
    press("R");
    ends();
    EXPECT_TRUE(has(session.output, {"\tE) Exit\r\n\r\nOption? : V\r\nInstalled images versions"}));
    EXPECT_TRUE(lacks(session.output, {"Booting downloaded image", "File processed"}));
}

// A power cut inside an install into the slot the switch boots, the other slot empty: the slot
// keeps its old image, which boots; the percent count of the piece before the cut, never flushed
// on its own, is lost with it. Where /user cannot hold two copies the console says so and the
// slot is written in place; a replacement for the missing slot 2 is never the same version.
TEST_F(UsbStick, InstallIntoTheBootSlotCutShortKeepsTheOldImage) {
    const Bytes old_app = slot(1), two = app_image("two", VERSION_2);
    const Bytes new_app = app_image(tree_with("new", {{"home/noise", noise(150000)}}), VERSION_2);
    insert_stick({{"NXR4417_replace1_OS.img", new_app}});
    write_text(board + "/faults", "power-cut slot-write 2\n");
    boot();
    shows({"Installing Application: "});
    session.wait_exit(120);
    EXPECT_TRUE(lacks(session.output, {"043%"}));
    EXPECT_EQ(slot(1), old_app);
    bmsim_ok({"usb", board, "remove"});
    boot_showing({"APPLICATION slot1 RUNNING"});

    write_text(board + "/user-free", "100000");
    insert_stick({{"NXR4417_replace1_OS.img", new_app}, {"NXR4417_replace2_OS.img", two}});
    boot_showing({"Image2 has been successfully replaced",
                  "Installing image as image1: /user cannot hold a second copy of image1: writing it in place.\r\n",
                  "Image1 has been successfully replaced", "APPLICATION new RUNNING"});
    EXPECT_EQ(slot(1), new_app);
    EXPECT_EQ(slot(2), two);
    EXPECT_EQ(file_names(board + "/user/images"), Texts({"image1", "image2"}));
}

// The number the last listing of the chooser gave the name.
int number_of(const std::string& output, const std::string& name) {
    size_t row = output.rfind(": " + name + "\r\n"), tab = output.rfind('\t', row);
    return row == std::string::npos || tab == std::string::npos ? -1 : std::stoi(output.substr(tab + 1, row - tab - 1));
}

// The rescue menu's file chooser (letter U). Names are shown and used as they are: run by a
// shell, the odd one would print INJECTED; the long one has 255 characters, the most a name has.
// The answer rules and the listing (files, not folders) are covered by the unit tests.
TEST_F(UsbStick, ChooserQuitsAndInstallsOddAndLongNamesByNumber) {
    const std::string odd = "it's \"odd\"; $(echo INJ''ECTED) `echo INJ\"\"ECTED`;echo INJ''ECTED | & > x.img";
    const std::string longest = std::string(251, 'n') + ".img";
    const Bytes odd_image = app_image("odd", VERSION_2), long_image = app_image("long", VERSION_2);
    env({"diagnostics=rescue"});
    insert_stick({{odd, odd_image}, {longest, long_image}, {"notes.txt", {'h', 'i'}}});
    boot();
    // Ctrl-C at the prompt is an interrupt, which quits like q; so does a number outside the list.
    for (const char* quit : {"q\r", "9\r", "\x03"}) {
        answer("Option? : ", "u");
        answer("Choose file number to install (q to quit): ", quit);
        shows({"Please select one of the following options:"});
    }
    EXPECT_TRUE(lacks(session.output, {"Installing "}));

    answer("Option? : ", "u");
    shows({"Choose file number to install (q to quit): "});
    session.send("abc\r");
    shows({"Invalid file number abc. Try again pleas"});
    session.send("  " + std::to_string(number_of(session.output, odd)) + "xyz\r");
    shows({"Installing " + odd});
    answer("Install image as image 1 or 2 (hit return to just boot image): ", "2\r");
    shows({"Image2 updated succeeded", "Please select one of the following options:"});
    answer("Option? : ", "u");
    answer("Choose file number to install (q to quit): ", std::to_string(number_of(session.output, longest)) + "\r");
    shows({"Installing " + longest});
    answer("(hit return to just boot image): ", "1\r");
    shows({"Image1 updated succeeded"});
    answer("Option? : ", "e");
    shows({"APPLICATION long RUNNING"});
    ends();
    EXPECT_EQ(slot(2), odd_image);
    EXPECT_EQ(slot(1), long_image);
    EXPECT_TRUE(lacks(session.output, {"INJECTED"}));
}

}  // namespace
