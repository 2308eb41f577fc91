// Power cuts and device faults at every request of reference installs, from the USB boot package
// and from the serial download: a kernel and an application for slot 2, on a board whose slot 1
// holds an older good application and whose kernel partition an older kernel; a boot loader, a
// root file system and a device tree over older ones (whose retries skip the boot loader by its
// payload-only version check); and an application into slot 2 while the EEPROM boots slot 2,
// with slot 1 empty or good. Whatever the request, nothing crashes or hangs, slot 1 stays byte
// for byte as it was, the EEPROM boot slot names a slot whose image verifies, and at the moment
// of each boot-slot write the slot file it names already verifies; the next boot reaches an
// application or the rescue menu, and the same install tried again completes with every image
// whole. Each sweep reports its counts on the standard output, and in $BM_SWEEP_REPORT when set.
// Faults tried: the installer comparing only the header for "same version" -> 87 retries after
// cuts inside the kernel's flash write left the old damage (FromTheUsbBootPackage); the boot slot
// set before the slot file is written -> the reference install itself fails, its boot-slot write
// finding slot 2 absent, with no stdio buffering involved (FromTheUsbBootPackage); the slot file
// written in place -> 3 boards lost and 3 boot slots not verifying after the cuts inside it
// (IntoTheBootSlotWithTheOtherSlotEmpty).
#include <cstdio>

#include "sweep_tally.h"
#include "xmodem_sender.h"

namespace {

// A flash image and where the install leaves it: the whole image, or for the boot loader its
// payload (written without its header).
struct Flashed {
    std::string partition;
    Bytes before, image;
    Bytes written() const { return partition == "uboot" ? Bytes(image.begin() + 16, image.end()) : image; }
};

Bytes boot_loader(uint32_t id, uint8_t seed) {
    return build_image({.type = IMAGE_BOOTLOADER, .id = id, .embed_header_copy = true}, pattern_bytes(6000, seed));
}

struct InstallSweep : SweepScenario<XmodemScenario> {
    std::vector<Flashed> flashed;  // the flash images of the package, the application after them
    bool with_app = true;
    Bytes slot1;          // slot 1 before the install and after it; empty: no slot file
    int boot_slot = 1;    // the EEPROM's before the install
    bool serial = false;  // the install comes by serial download, else from the USB boot package
    bool reference_whole = false;

    // The board before the install, kept aside: a case starts from a copy of it. Erase blocks of
    // 16 KiB give the kernel's write three of them.
    void prepare(bool by_serial) {
        serial = by_serial;
        Bytes package;
        for (const Flashed& f : flashed) {
            write_text(board + "/mtd/" + f.partition + ".erasesize", "16384");
            flash(f.partition, f.before);
            package.insert(package.end(), f.image.begin(), f.image.end());
        }
        if (with_app) package.insert(package.end(), app.begin(), app.end());
        if (!slot1.empty()) put_slot(1, slot1);
        if (boot_slot == 2) put_slot(2, old_app);
        set_eeprom("0x100", std::to_string(boot_slot));
        write_binary_file(board + "/package.img", package);
        if (!serial) {
            set_eeprom("0x13B", "0xD5");
            insert_stick({{"NXR4417_Boot.img", package}});
        }
        keep_reference();
    }
    void prepare_kernel_and_app(bool by_serial) {
        flashed = {{"kernel", old_kernel, kernel}};
        slot1 = old_app;
        prepare(by_serial);
    }
    // Every flash image whole, slot 2 holding the application when the package has one, and
    // the boot slot naming a slot whose image verifies.
    bool install_whole() {
        for (const Flashed& f : flashed)
            if (!starts_with(partition(f.partition), f.written())) return false;
        return (!with_app || slot(2) == app) && boot_slot_verifies();
    }
    bool boot_slot_verifies() {
        int named = eeprom(0x100);
        return (named == 1 || named == 2) && image_verifies(slot(named));
    }
    // The boot-slot write of the last run, if any, found its slot file verifying.
    bool boot_slot_written_in_order() {
        std::string kept = board + "/boot-slot-image";
        bool in_order = !fs::exists(kept) || image_verifies(read_binary_file(kept));
        fs::remove(kept);
        return in_order;
    }
    // The operator's part of one install: the download for the serial one, then 2 at every slot
    // question, and R at the menu that follows a download.
    void operate_install() {
        if (serial) {
            if (await_any({MENU}) != 0) return;
            press("x");
            if (await_any({SETUP_PROMPT}) != 0) return;
            send_with_sx(board + "/package.img");
            if (!press_enter_after(RESTORE_PROMPT, "\n", RESTORE_REMINDER, "Extracting images")) return;
        }
        for (int seen; (seen = await_any({SLOT_PROMPT, MENU})) >= 0;)
            seen == 0 ? session.send("2\n") : (void)press("R");
    }
    void run_install(const std::string& fault, int starts) {
        size_t log_from = log().size();
        boot({"--power-cycles", std::to_string(starts), "--time-scale", "0.01"});
        operate_install();
        finish_run(fault, log_from);
    }

    // One case: the install under the fault, the next boot with nobody at the console, the retry.
    void sweep_case(const std::string& fault) {
        restore_reference();
        ++tally.tried;
        write_text(board + "/faults", fault + "\n");
        if (serial) env({"diagnostics=rescue"});
        run_install(fault, 1);
        fs::remove(board + "/faults");
        if ((slot1.empty() ? fs::exists(slot_path(1)) : slot(1) != slot1))
            tally.count(UNTOUCHED_CHANGED, fault, "slot 1 changed");
        if (!boot_slot_verifies()) tally.count(BAD_BOOT_SLOT, fault, "boot slot " + std::to_string(eeprom(0x100)));
        if (!boot_slot_written_in_order())
            tally.count(BAD_BOOT_SLOT, fault, "boot slot set before its image was whole");

        if (serial) env({"diagnostics=none"});
        if (!serial) bmsim_ok({"usb", board, "remove"});
        size_t log_from = log().size();
        boot({"--time-scale", "0.01"});
        if (await_any({MENU}) != 0 && !contains(log().substr(log_from), "ended: application launched"))
            tally.count(LOST_BOARD, fault, "no application and no rescue menu");
        session.stop();

        if (serial) env({"diagnostics=rescue"});
        if (!serial) bmsim_ok({"usb", board, "insert"});
        run_install(fault + " (retry)", 3);
        if (!install_whole()) tally.count(RETRY_INCOMPLETE, fault, "the retry left an image or the boot slot");
        if (!boot_slot_written_in_order())
            tally.count(BAD_BOOT_SLOT, fault + " (retry)", "boot slot set before its image was whole");
    }

    // The reference install without faults; the number of each kind of request it makes.
    std::string reference_log() {
        restore_reference();
        if (serial) env({"diagnostics=rescue"});
        run_install("no fault", 1);
        reference_whole =
            install_whole() && eeprom(0x100) == (with_app ? 2 : boot_slot) && boot_slot_written_in_order();
        EXPECT_TRUE(reference_whole) << session.output;
        return read_text_file(board + "/devices.log");
    }

    void sweep(const std::string& fault, int count, int step = 1) {
        for (int k = 1; k <= count; k += step) sweep_case(fault + " " + std::to_string(k));
    }
    // Every case of the USB boot package; the serial download's take a few seconds each for the
    // transfers, so unless BM_SWEEP=full it samples every 10th power cut and leaves the flash and
    // EEPROM faults, which meet the same install code, to the USB sweep.
    void sweep_all() {
        const char* depth = std::getenv("BM_SWEEP");
        bool sampled = serial && !(depth && std::string(depth) == "full");
        const std::string log_text = reference_log();
        if (!reference_whole) return;
        int requests = device_requests(log_text);
        EXPECT_GT(requests, flashed.empty() ? 10 : 50);
        sweep("power-cut request", requests, sampled ? 10 : 1);
        if (with_app) sweep("power-cut slot-write", int((app.size() + 65535) / 65536));
        if (!sampled) {
            for (const Flashed& f : flashed) {
                sweep("fail " + f.partition + " write", int(count_of(log_text, "mtd-" + f.partition + " pwrite ")));
                sweep("fail " + f.partition + " erase", int(count_of(log_text, "mtd-" + f.partition + " erase ")));
            }
            sweep("i2c write-fail 0", int(count_of(log_text, "i2c-0 write ")));
        }
        tally.report(name + (serial ? " by serial download" : " from the usb boot package"));
        EXPECT_EQ(tally.cases, "");
    }
    std::string name = "kernel and application";
};

TEST_F(InstallSweep, FromTheUsbBootPackage) {
    prepare_kernel_and_app(false);
    sweep_all();
}

TEST_F(InstallSweep, FromTheSerialDownload) {
    prepare_kernel_and_app(true);
    sweep_all();
}

TEST_F(InstallSweep, BootLoaderRootFileSystemAndDeviceTree) {
    name = "boot loader, root file system and device tree";
    flashed = {{"uboot", boot_loader(VERSION_1, 1), boot_loader(VERSION_2, 2)},
               {"rfs", flash_image(IMAGE_ROOTFS, 30000, 3, VERSION_1), flash_image(IMAGE_ROOTFS, 36000, 4, VERSION_2)},
               {"devicetree", flash_image(IMAGE_DEVICETREE, 3000, 5, VERSION_1),
                flash_image(IMAGE_DEVICETREE, 4000, 6, VERSION_2)}};
    flashed[0].before.erase(flashed[0].before.begin(), flashed[0].before.begin() + 16);
    with_app = false;
    slot1 = old_app;
    prepare(false);
    sweep_all();
}

TEST_F(InstallSweep, IntoTheBootSlotWithTheOtherSlotEmpty) {
    name = "application into the boot slot, the other slot empty";
    boot_slot = 2;
    prepare(false);
    sweep_all();
}

TEST_F(InstallSweep, IntoTheBootSlotWithTheOtherSlotGood) {
    name = "application into the boot slot, the other slot good";
    boot_slot = 2;
    slot1 = app_image("other");
    prepare(false);
    sweep_all();
}

}  // namespace
