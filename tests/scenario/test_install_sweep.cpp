// Power cuts and device faults at every request of one reference install: a package of a kernel
// and an application for slot 2, on a board whose slot 1 holds an older good application and
// whose kernel partition an older kernel, from the USB boot package and from the serial
// download. Whatever the request, nothing crashes or hangs, slot 1 stays byte for byte as it was,
// the EEPROM boot slot names a slot whose image verifies, the next boot reaches an application or
// the rescue menu, and the same install tried again completes with every image whole. Each sweep
// reports its counts on the standard output, and in $BM_SWEEP_REPORT when it is set.
// Faults tried: the installer comparing only the header for "same version" -> 87 retries after
// cuts inside the kernel's flash write left the old damage (FromTheUsbBootPackage); the boot slot
// set before the slot file is written -> the cuts inside and just before the slot write leave a
// boot slot whose image fails (4 cases of FromTheUsbBootPackage).
#include <cstdio>
#include <random>

#include "sweep_tally.h"
#include "xmodem_sender.h"

namespace {

struct InstallSweep : SweepScenario<XmodemScenario> {
    bool serial = false;  // the install comes by serial download, else from the USB boot package
    bool reference_whole = false;

    // The board before the install, kept aside: a case starts from a copy of it. Kernel erase
    // blocks of 16 KiB give the kernel's write three of them.
    void prepare(bool by_serial) {
        serial = by_serial;
        write_text(board + "/mtd/kernel.erasesize", "16384");
        flash("kernel", old_kernel);
        put_slot(1, old_app);
        set_eeprom("0x100", "1");
        write_binary_file(board + "/package.img", joined({kernel, app}));
        if (!serial) {
            set_eeprom("0x13B", "0xD5");
            insert_stick({{"NXR4417_Boot.img", joined({kernel, app})}});
        }
        keep_reference();
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
        check_slots(fault);

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
        if (!starts_with(partition("kernel"), kernel) || slot(2) != app || eeprom(0x100) != 2)
            tally.count(RETRY_INCOMPLETE, fault, "the retry left the kernel, slot 2 or the boot slot");
    }

    // The reference install without faults; the number of each kind of request it makes.
    std::string reference_log() {
        restore_reference();
        if (serial) env({"diagnostics=rescue"});
        run_install("no fault", 1);
        reference_whole = starts_with(partition("kernel"), kernel) && slot(2) == app && eeprom(0x100) == 2;
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
        EXPECT_GT(requests, 50);
        sweep("power-cut request", requests, sampled ? 10 : 1);
        sweep("power-cut slot-write", int((app.size() + 65535) / 65536));
        if (!sampled) {
            sweep("fail kernel write", int(count_of(log_text, "mtd-kernel pwrite ")));
            sweep("fail kernel erase", int(count_of(log_text, "mtd-kernel erase ")));
            sweep("i2c write-fail 0", int(count_of(log_text, "i2c-0 write ")));
        }
        tally.report(serial ? "serial download" : "usb boot package");
        EXPECT_EQ(tally.cases, "");
    }
};

TEST_F(InstallSweep, FromTheUsbBootPackage) {
    prepare(false);
    sweep_all();
}

TEST_F(InstallSweep, FromTheSerialDownload) {
    prepare(true);
    sweep_all();
}

}  // namespace
