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

#include "xmodem_sender.h"

namespace {

const std::string MENU = "Option? : ";

// What a sweep found: everything but the cases tried must stay zero.
enum Finding { CRASH, HANG, LOST_BOARD, UNTOUCHED_CHANGED, BAD_BOOT_SLOT, RETRY_INCOMPLETE, FINDING_KINDS };
const char* const finding_names[FINDING_KINDS] = {"crashes",
                                                  "hangs",
                                                  "boards that neither boot nor reach the rescue menu",
                                                  "untouched slots changed",
                                                  "boot slots not verifying",
                                                  "retries that did not complete"};
struct Tally {
    int tried = 0, found[FINDING_KINDS] = {};
    std::string cases;  // the cases behind the counts, for the test's message

    void count(Finding finding, const std::string& fault, const std::string& what) {
        ++found[finding];
        cases += "  " + fault + ": " + what + "\n";
    }
    void report(const std::string& name) const {
        std::string line = "sweep " + name + ": " + std::to_string(tried) + " cases tried";
        for (int kind = 0; kind < FINDING_KINDS; ++kind)
            line += ", " + std::to_string(found[kind]) + " " + finding_names[kind];
        printf("%s\n", line.c_str());
        if (const char* path = std::getenv("BM_SWEEP_REPORT")) std::ofstream(path, std::ios::app) << line << "\n";
    }
};

// Bytes that gzip cannot shrink, so that the application image takes three 64 KiB slot writes.
std::string noise(size_t size) {
    std::mt19937 random(42);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = char(random());
    return bytes;
}

bool image_verifies(const Bytes& image) {
    if (image.size() < HEADER_PROBE_SIZE) return false;
    HeaderProbe probe;
    std::copy_n(image.begin(), HEADER_PROBE_SIZE, probe.bytes);
    ImageLayout layout = parse_image_header(probe);
    return image_layout_sane(layout) && layout.total_len == image.size() &&
           crc32_update(&image[4], layout.total_len - 4, 0xFFFFFFFF) == read_be32(&image[0]);
}

struct InstallSweep : XmodemScenario {
    const Bytes old_app = app_image("old"), old_kernel = flash_image(IMAGE_KERNEL, 20000, 1, VERSION_1);
    const Bytes kernel = flash_image(IMAGE_KERNEL, 40000, 7, VERSION_2);
    const Bytes app = app_image(tree_with("new", {{"home/noise", noise(150000)}}), VERSION_2);
    const std::string reference = temp_dir("bmsim-reference");
    bool serial = false;  // the install comes by serial download, else from the USB boot package
    bool reference_whole = false;
    Tally tally;

    void TearDown() override {
        XmodemScenario::TearDown();
        fs::remove_all(reference);
    }

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
        fs::remove_all(reference);
        fs::copy(board, reference, fs::copy_options::recursive);
    }
    void restore_reference() {
        session.stop();
        fs::remove_all(board);
        fs::copy(reference, board, fs::copy_options::recursive);
    }

    // Waits until the console shows one of the texts after the mark (moving the mark past it) or
    // the run ends; the index of the text, or -1.
    int await_any(const Texts& texts, double seconds = 60) {
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);;) {
            for (size_t i = 0; i < texts.size(); ++i)
                if (size_t at = session.output.find(texts[i], session.mark); at != std::string::npos) {
                    session.mark = at + texts[i].size();
                    return int(i);
                }
            if (std::chrono::steady_clock::now() >= deadline || session.closed) return -1;
            session.expect("\x01 never shown", 0.2);
        }
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
    // Ends the run, counting a hang or a crash: the end lines of the board log name how each start
    // ended, and only a start that the faults file cut may end by a signal.
    void finish_run(const std::string& fault, size_t log_from) {
        if (session.wait_exit(90) == -1) tally.count(HANG, fault, "the run did not end");
        std::string starts = log().substr(log_from);
        for (const char* sign : {"AddressSanitizer", "runtime error", "Segmentation fault"})
            if (contains(session.output, sign)) tally.count(CRASH, fault, sign);
        for (size_t at = 0; (at = starts.find(" ended: ", at)) != std::string::npos; ++at) {
            std::string how = starts.substr(at, starts.find('\n', at) - at);
            bool cut = contains(how, "power cut");
            if ((!cut && (contains(how, "signal") || contains(how, "status 1"))) || contains(how, "time-out"))
                tally.count(contains(how, "time-out") ? HANG : CRASH, fault, how);
        }
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
        if (slot(1) != old_app) tally.count(UNTOUCHED_CHANGED, fault, "slot 1 changed");
        int boot_slot = eeprom(0x100);
        if (boot_slot != 1 && boot_slot != 2)
            tally.count(BAD_BOOT_SLOT, fault, "boot slot " + std::to_string(boot_slot));
        else if (!image_verifies(slot(boot_slot)))
            tally.count(BAD_BOOT_SLOT, fault, "slot " + std::to_string(boot_slot) + " does not verify");

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
        int device_requests = 0;
        std::istringstream lines(log_text);
        for (std::string line; std::getline(lines, line);)
            if (!std::ranges::any_of(Texts{"sleep", "usleep", "nanosleep", "clock_nanosleep", "poll"},
                                     [&](const std::string& pause) { return line.starts_with(pause + " "); }))
                ++device_requests;
        EXPECT_GT(device_requests, 50);
        sweep("power-cut request", device_requests, sampled ? 10 : 1);
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
