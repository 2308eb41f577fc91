// bmsim's commands that make, inspect and change a board directory: new, env, eeprom, flash,
// usb and log.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bmsim_command.h"
#include "board.h"
#include "keys.h"
#include "sandbox.h"

namespace fs = std::filesystem;

// ---- new, env, eeprom, flash ----

std::string new_help() {
    return "usage: bmsim new DIR\n"
           "\n"
           "Makes a fresh board in DIR: erased flash partitions (0xFF), an EEPROM of 0xFF, an empty /user\n"
           "holding /user/images, no USB stick. DIR is a new or empty folder, or an old board, which is\n"
           "made afresh.\n";
}

// A board made afresh over an old one keeps nothing of its earlier life. Any other folder with
// files in it is refused, so that a mistyped DIR cannot lose them.
static bool clear_old_board(const std::string& dir, std::string* error) {
    std::error_code code;
    if (!fs::exists(dir, code) || (fs::is_directory(dir, code) && fs::is_empty(dir, code))) return true;
    if (!is_board(dir)) {
        *error = "'" + dir + "' exists and is not an empty folder or a board";
        return false;
    }
    for (const char* leftover : {"user", "usb", "usb.inserted", "log", "backtrace.env", "backtrace.cwd", "machine.log",
                                 "machine-work", "machine-kept", "keys"})
        fs::remove_all(dir + "/" + leftover, code);
    if (code) *error = "cannot clear the old board in '" + dir + "': " + code.message();
    return !code;
}

int run_new(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.size() != 1) return usage_error("new", "expects one board directory");
    std::string error;
    if (!clear_old_board(args[0], &error) || !board_create(args[0], &error)) return failure("new", error);
    return 0;
}

std::string env_help() {
    return "usage: bmsim env DIR [NAME=VALUE | NAME]...\n"
           "       bmsim env DIR --print NAME\n"
           "       bmsim env DIR --clear\n"
           "\n"
           "With no operand, prints the boot-loader environment of the ubootenv partition, one NAME=VALUE\n"
           "a line (nothing for an erased partition). NAME=VALUE sets NAME and keeps the other settings;\n"
           "a NAME alone deletes it; of two settings of one name the last wins. The environment is written\n"
           "as the boot loader keeps it: a 4-byte checksum, then the settings, each ended by a zero byte.\n"
           "--print NAME prints the value of NAME alone (status 1 when it is not set); --clear leaves the\n"
           "environment empty. Example:\n"
           "  bmsim env board diagnostics=rescue gdbport=4321\n";
}

static std::string setting_name(const std::string& setting) { return setting.substr(0, setting.find('=')); }

// Each change, in order, replaces the setting of its name where it stands, is added at the end,
// or (a name alone) deletes it.
static std::vector<std::string> changed_settings(std::vector<std::string> settings,
                                                 const std::vector<std::string>& changes) {
    for (const std::string& change : changes) {
        std::string name = setting_name(change);
        auto same = std::find_if(settings.begin(), settings.end(),
                                 [&](const std::string& setting) { return setting_name(setting) == name; });
        if (change.find('=') == std::string::npos) {
            if (same != settings.end()) settings.erase(same);
        } else if (same != settings.end()) {
            *same = change;
        } else {
            settings.push_back(change);
        }
    }
    return settings;
}

static int print_setting(const std::vector<std::string>& settings, const std::string& name) {
    for (const std::string& setting : settings)
        if (setting_name(setting) == name) return std::printf("%s\n", setting.substr(name.size() + 1).c_str()), 0;
    return failure("env", "'" + name + "' is not set");
}

int run_env(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.empty()) return usage_error("env", "expects a board directory");
    std::vector<std::string> changes(args.begin() + 1, args.end());
    if (arguments.options.size() > 1) return usage_error("env", "takes one of --clear and --print");
    std::string option = arguments.options.empty() ? "" : arguments.options[0].first;
    if (!option.empty() && !changes.empty()) return usage_error("env", "--" + option + " takes no settings");
    if (option == "print" &&
        (arguments.options[0].second.empty() || arguments.options[0].second.find('=') != std::string::npos))
        return usage_error("env", "--print takes a NAME");
    for (const auto& change : changes)
        if (change.empty() || change[0] == '=')
            return usage_error("env", "'" + change + "' is neither a setting NAME=VALUE nor a NAME");
    if (!is_board(args[0])) return failure("env", not_a_board(args[0]));
    std::string error;
    std::vector<std::string> settings;
    if (option != "clear" && !board_get_env(args[0], &settings, &error)) return failure("env", error);
    if (option == "print") return print_setting(settings, arguments.options[0].second);
    if (option == "clear" || !changes.empty())
        return board_set_env(args[0], changed_settings(settings, changes), &error) ? 0 : failure("env", error);
    for (const auto& setting : settings) std::printf("%s\n", setting.c_str());
    return 0;
}

std::string eeprom_help() {
    return "usage: bmsim eeprom DIR [OFFSET [VALUE]]\n"
           "\n"
           "Reads one byte of the board's 64 KiB EEPROM and prints it (as 0x..), or writes VALUE there;\n"
           "with no offset, prints the cells the switch uses by name. Offsets and values are decimal or\n"
           "0x hex. The cells:\n"
           "  0x100  boot slot (1 or 2)\n"
           "  0x13A  boot mode (the source last started)\n"
           "  0x13B  USB boot marker (0xD5 allows booting from a USB stick)\n";
}

struct EepromCell {
    uint32_t offset;
    const char* name;
};
static const EepromCell SWITCH_CELLS[] = {{0x100, "boot slot"}, {0x13A, "boot mode"}, {0x13B, "USB marker"}};

static int print_switch_cells(const std::string& dir) {
    for (const EepromCell& cell : SWITCH_CELLS) {
        uint8_t byte = 0;
        std::string error;
        if (!board_eeprom_read(dir, cell.offset, &byte, &error)) return failure("eeprom", error);
        std::printf("0x%03x %-10s 0x%02x\n", cell.offset, cell.name, byte);
    }
    return 0;
}

int run_eeprom(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.empty() || args.size() > 3) return usage_error("eeprom", "expects DIR [OFFSET [VALUE]]");
    uint32_t offset = 0;
    uint32_t value = 0;
    if (args.size() > 1 && !parse_number(args[1], 0xFFFF, &offset))
        return usage_error("eeprom", "offset '" + args[1] + "' is not a number from 0 to 0xFFFF");
    if (args.size() == 3 && !parse_number(args[2], 0xFF, &value))
        return usage_error("eeprom", "value '" + args[2] + "' is not a number from 0 to 0xFF");
    if (!is_board(args[0])) return failure("eeprom", not_a_board(args[0]));
    if (args.size() == 1) return print_switch_cells(args[0]);
    std::string error;
    if (args.size() == 3)
        return board_eeprom_write(args[0], offset, static_cast<uint8_t>(value), &error) ? 0 : failure("eeprom", error);
    uint8_t byte = 0;
    if (!board_eeprom_read(args[0], offset, &byte, &error)) return failure("eeprom", error);
    std::printf("0x%02x\n", byte);
    return 0;
}

std::string flash_help() {
    return "usage: bmsim flash DIR PARTITION FILE\n"
           "\n"
           "Writes FILE at offset 0 of a flash partition, as a factory programmer would (no erase needed;\n"
           "the rest of the partition is kept). PARTITION is one of: uboot, ubootenv, devicetree,\n"
           "kernel, rfs, rescue.\n";
}

int run_flash(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.size() != 3) return usage_error("flash", "expects DIR PARTITION FILE");
    bool known = false;
    std::string names;
    for (const auto& partition : board_partitions()) {
        known = known || args[1] == partition.name;
        names += (names.empty() ? "" : ", ") + std::string(partition.name);
    }
    if (!known) return usage_error("flash", "unknown partition '" + args[1] + "' (" + names + ")");
    if (!is_board(args[0])) return failure("flash", not_a_board(args[0]));
    std::string error;
    if (!board_flash_file(args[0], args[1], args[2], &error)) return failure("flash", error);
    return 0;
}

// ---- usb ----

std::string usb_help() {
    return "usage: bmsim usb DIR insert [--ready-after SECONDS]\n"
           "       bmsim usb DIR remove\n"
           "\n"
           "Inserts or removes the board's USB stick. The stick's files are the folder DIR/usb, which\n"
           "is seen as /mnt/usb inside while the stick is inserted (removing the stick keeps the folder).\n"
           "At each start the readiness marker /tmp/usb appears SECONDS after the program starts, on the\n"
           "board's clock (scaled by boot --time-scale); at once by default.\n";
}

int run_usb(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.size() != 2 || (args[1] != "insert" && args[1] != "remove"))
        return usage_error("usb", "expects DIR insert [--ready-after SECONDS] or DIR remove");
    const std::string& dir = args[0];
    double ready_after = 0;
    for (const auto& [name, value] : arguments.options) {
        if (args[1] == "remove") return usage_error("usb", "remove takes no options");
        if (!parse_seconds(value, &ready_after))
            return usage_error("usb", "--ready-after '" + value + "' is not a number of seconds");
    }
    if (!is_board(dir)) return failure("usb", not_a_board(dir));
    if (args[1] == "remove") {
        std::error_code error;
        fs::remove(usb_state_path(dir), error);
        return error ? failure("usb", "cannot remove '" + usb_state_path(dir) + "': " + error.message()) : 0;
    }
    std::error_code error;
    fs::create_directories(dir + "/usb", error);
    std::ofstream state(usb_state_path(dir));
    state << ready_after << '\n';
    if (error || !state)
        return failure("usb", "cannot write '" + usb_state_path(dir) +
                                  "': " + (error ? error.message() : std::string(std::strerror(errno))));
    return 0;
}

// ---- log ----

std::string log_help() {
    return "usage: bmsim log DIR\n"
           "\n"
           "Shows what the switch's programs were asked to do, in order: one line per command line of\n"
           "mount, umount, flash_eraseall, reboot, backtrace, gdbserver and rx, and for each start of\n"
           "'bmsim boot' a line 'bmsim: start N' and a line telling how it ended (application launched\n"
           "and how, reboot requested, exit status, time-out).\n";
}

int run_log(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.size() != 1) return usage_error("log", "expects one board directory");
    if (!is_board(args[0])) return failure("log", not_a_board(args[0]));
    std::string log = args[0] + "/log";
    std::error_code error;
    if (!fs::exists(log, error)) return 0;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!board_read_file(log, &bytes, &why)) return failure("log", why);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return 0;
}

// ---- keys ----

std::string keys_help() { return KEYS_HELP; }

int run_keys(const Arguments& arguments) {
    if (!arguments.operands.empty() && !is_board(arguments.operands[0]))
        return failure("keys", not_a_board(arguments.operands[0]));
    std::string problem;
    int status = run_board_keys(arguments.operands, &problem);
    if (status == USAGE_ERROR) return usage_error("keys", problem);
    return status == 0 ? 0 : failure("keys", problem);
}
