// What the power-cut and fault sweeps share: the findings and their report, the check of an
// image, and a board kept aside that every case starts from.
#pragma once
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "scenario_board.h"

inline const std::string MENU = "Option? : ";

// What a sweep found: everything but the cases tried must stay zero.
enum Finding {
    CRASH,
    HANG,
    LOST_BOARD,
    UNTOUCHED_CHANGED,
    BAD_BOOT_SLOT,
    RETRY_INCOMPLETE,
    BAD_START_COUNT,
    FINDING_KINDS
};
const char* const finding_names[FINDING_KINDS] = {
    "crashes",
    "hangs",
    "boards that neither boot nor reach the rescue menu",
    "untouched slots changed",
    "boot slots not verifying",
    "retries that did not complete",
    "start counts gone wrong (a run-out image started, an image confirmed by itself)"};
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

inline bool image_verifies(const Bytes& image) {
    if (image.size() < HEADER_PROBE_SIZE) return false;
    HeaderProbe probe;
    std::copy_n(image.begin(), HEADER_PROBE_SIZE, probe.bytes);
    ImageLayout layout = parse_image_header(probe);
    return image_layout_sane(layout) && layout.total_len == image.size() &&
           crc32_update(&image[4], layout.total_len - 4, 0xFFFFFFFF) == read_be32(&image[0]);
}

// A scenario whose cases start from a board kept aside, and whose runs are watched for crashes
// and hangs.
template <typename Base>
struct SweepScenario : Base {
    using Base::board;
    using Base::session;
    // The reference install: a kernel and an application for slot 2 over an older kernel and an
    // older application in slot 1.
    const Bytes old_app = app_image("old"), old_kernel = flash_image(IMAGE_KERNEL, 20000, 1, VERSION_1);
    const Bytes kernel = flash_image(IMAGE_KERNEL, 40000, 7, VERSION_2);
    const Bytes app = app_image(tree_with("new", {{"home/noise", noise(150000)}}), VERSION_2);
    const std::string reference = temp_dir("bmsim-reference");
    Tally tally;

    void TearDown() override {
        Base::TearDown();
        fs::remove_all(reference);
    }
    void keep_reference() {
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
    // Ends the run, counting a hang or a crash: the end lines of the board log name how each start
    // ended, and only a start that the faults file cut may end by a signal.
    void finish_run(const std::string& fault, size_t log_from) {
        if (session.wait_exit(90) == -1) tally.count(HANG, fault, "the run did not end");
        std::string starts = this->log().substr(log_from);
        for (const char* sign : {"AddressSanitizer", "runtime error", "Segmentation fault"})
            if (contains(session.output, sign)) tally.count(CRASH, fault, sign);
        for (size_t at = 0; (at = starts.find(" ended: ", at)) != std::string::npos; ++at) {
            std::string how = starts.substr(at, starts.find('\n', at) - at);
            bool cut = contains(how, "power cut");
            if ((!cut && (contains(how, "signal") || contains(how, "status 1"))) || contains(how, "time-out"))
                tally.count(contains(how, "time-out") ? HANG : CRASH, fault, how);
        }
    }
    // Slot 1 stays as it was, and the boot slot names a slot whose image verifies.
    void check_slots(const std::string& fault) {
        if (this->slot(1) != old_app) tally.count(UNTOUCHED_CHANGED, fault, "slot 1 changed");
        int boot_slot = this->eeprom(0x100);
        if (boot_slot != 1 && boot_slot != 2)
            tally.count(BAD_BOOT_SLOT, fault, "boot slot " + std::to_string(boot_slot));
        else if (!image_verifies(this->slot(boot_slot)))
            tally.count(BAD_BOOT_SLOT, fault, "slot " + std::to_string(boot_slot) + " does not verify");
    }
    // The device requests of a run's log, without the pauses.
    static int device_requests(const std::string& log_text) {
        int count = 0;
        std::istringstream lines(log_text);
        for (std::string line; std::getline(lines, line);)
            if (!std::ranges::any_of(Texts{"sleep", "usleep", "nanosleep", "clock_nanosleep", "poll"},
                                     [&](const std::string& pause) { return line.starts_with(pause + " "); }))
                ++count;
        return count;
    }
};
