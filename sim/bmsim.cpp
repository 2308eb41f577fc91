// bmsim: the simulated board's front end, for people and tests alike. It makes and changes
// board directories and boots the real program on them (sim/README.md).
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "board.h"
#include "console.h"
#include "keys.h"
#include "machine/machine.h"
#include "pieces.h"
#include "sandbox.h"

namespace fs = std::filesystem;

namespace {

constexpr int USAGE_ERROR = 2;

const char* const GENERAL_HELP =
    "usage: bmsim COMMAND DIR [ARGUMENTS]\n"
    "\n"
    "The simulated board of the switch. DIR is a board directory: its flash partitions, EEPROM,\n"
    "/user, USB stick and logs.\n"
    "\n"
    "  new DIR                        make a fresh board\n"
    "  env DIR [NAME=VALUE...]        print or write the boot-loader environment\n"
    "  env DIR --clear                empty it\n"
    "  eeprom DIR [OFFSET [VALUE]]    print the switch's cells, or read or write one EEPROM byte\n"
    "  flash DIR PARTITION FILE       write a file at offset 0 of a flash partition\n"
    "  usb DIR insert [--ready-after SECONDS]\n"
    "  usb DIR remove                 insert or remove the USB stick\n"
    "  boot DIR [--timeout SECONDS] [--power-cycles N] [--time-scale F] [--program PATH]\n"
    "           [--script FILE] [--machine qemu]\n"
    "                                 boot the board with its console on this terminal\n"
    "  keys DIR add PUB.pem | list | clear\n"
    "                                 the board's trusted public keys\n"
    "  log DIR                        what the switch's programs were asked to do, and how\n"
    "                                 each start ended\n"
    "\n"
    "'bmsim COMMAND --help' describes one command; 'bmsim --version' tells the version.\n"
    "Exit status: 0 done, 1 a failure, 2 bad usage ('bmsim boot --help' tells its own).\n";

// A command's arguments as getopt_long splits them: options anywhere among the operands, as
// --name=value or --name value, and "--" ending the options.
struct Arguments {
    std::vector<std::string> operands;
    std::vector<std::pair<std::string, std::string>> options;  // name and value, in the given order
    bool help = false;
    bool version = false;
};

struct OptionRule {
    const char* name;
    bool takes_value;
};

struct Command {
    const char* name;
    const char* help;
    std::vector<OptionRule> options;
    int (*run)(const Arguments& args);
};

// ---- reporting ----

int usage_error(const char* command, const std::string& message) {
    std::fprintf(stderr, "bmsim %s: %s\n(see 'bmsim %s --help')\n", command, message.c_str(), command);
    return USAGE_ERROR;
}

int failure(const char* command, const std::string& message) {
    std::fprintf(stderr, "bmsim %s: %s\n", command, message.c_str());
    return 1;
}

// ---- arguments ----

int print_version() {
    std::printf("bmsim %s\n", BMSIM_VERSION);
    return 0;
}

// Every command takes --help and --version besides its own options.
int parse_arguments(const char* command, int argc, char** argv, const std::vector<OptionRule>& rules,
                    Arguments* arguments) {
    std::vector<option> options;
    for (const OptionRule& rule : rules)
        options.push_back(
            {rule.name, rule.takes_value ? required_argument : no_argument, nullptr, static_cast<int>(options.size())});
    options.push_back({"help", no_argument, nullptr, 'h'});
    options.push_back({"version", no_argument, nullptr, 'V'});
    options.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    optind = 1;
    for (int found; (found = getopt_long(argc, argv, ":h", options.data(), nullptr)) != -1;) {
        std::string given = argv[optind - 1];
        if (given.rfind("--", 0) != 0 && optopt > 0) given = std::string("-") + char(optopt);
        if (found == '?') return usage_error(command, "unknown option '" + given + "'");
        if (found == ':') return usage_error(command, "option '" + given + "' needs a value");
        if (found == 'h') arguments->help = true;
        if (found == 'V') arguments->version = true;
        if (found < static_cast<int>(rules.size()))
            arguments->options.emplace_back(rules[found].name, optarg ? optarg : "");
    }
    arguments->operands.assign(argv + optind, argv + argc);
    return 0;
}

// Decimal, or hexadecimal after 0x.
bool parse_number(const std::string& text, uint32_t max, uint32_t* value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8) return false;
    for (char c : digits)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
            return false;
    unsigned long parsed = std::stoul(digits, nullptr, hex ? 16 : 10);
    if (parsed > max) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool parse_seconds(const std::string& text, double* value) {
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(parsed) || parsed < 0) return false;
    *value = parsed;
    return true;
}

bool is_board(const std::string& dir) {
    return fs::is_directory(dir + "/user") && fs::is_regular_file(dir + "/eeprom.bin");
}

std::string not_a_board(const std::string& dir) {
    return "'" + dir + "' is not a board directory (make one with 'bmsim new " + dir + "')";
}

// ---- new, env, eeprom, flash ----

const char* const NEW_HELP =
    "usage: bmsim new DIR\n"
    "\n"
    "Makes a fresh board in DIR: erased flash partitions (0xFF), an EEPROM of 0xFF, an empty /user\n"
    "holding /user/images, no USB stick. DIR is a new or empty folder, or an old board, which is\n"
    "made afresh.\n";

// A board made afresh over an old one keeps nothing of its earlier life. Any other folder with
// files in it is refused, so that a mistyped DIR cannot lose them.
bool clear_old_board(const std::string& dir, std::string* error) {
    std::error_code code;
    if (!fs::exists(dir) || (fs::is_directory(dir) && fs::is_empty(dir, code))) return true;
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

const char* const ENV_HELP =
    "usage: bmsim env DIR [NAME=VALUE...]\n"
    "       bmsim env DIR --clear\n"
    "\n"
    "With no setting, prints the boot-loader environment of the ubootenv partition, one NAME=VALUE\n"
    "a line (nothing for an erased partition). Settings are written as the boot loader keeps them:\n"
    "a 4-byte checksum, then the settings, each ended by a zero byte; they replace the whole\n"
    "environment. --clear leaves it empty. Example:\n"
    "  bmsim env board diagnostics=rescue gdbport=4321\n";

int run_env(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.empty()) return usage_error("env", "expects a board directory");
    std::vector<std::string> settings(args.begin() + 1, args.end());
    bool clear = !arguments.options.empty();
    if (clear && !settings.empty()) return usage_error("env", "--clear takes no settings");
    for (const auto& setting : settings)
        if (setting.find('=') == std::string::npos || setting[0] == '=')
            return usage_error("env", "'" + setting + "' is not a setting NAME=VALUE");
    if (!is_board(args[0])) return failure("env", not_a_board(args[0]));
    std::string error;
    if (clear || !settings.empty()) return board_set_env(args[0], settings, &error) ? 0 : failure("env", error);
    if (!board_get_env(args[0], &settings, &error)) return failure("env", error);
    for (const auto& setting : settings) std::printf("%s\n", setting.c_str());
    return 0;
}

const char* const EEPROM_HELP =
    "usage: bmsim eeprom DIR [OFFSET [VALUE]]\n"
    "\n"
    "Reads one byte of the board's 64 KiB EEPROM and prints it (as 0x..), or writes VALUE there;\n"
    "with no offset, prints the cells the switch uses by name. Offsets and values are decimal or\n"
    "0x hex. The cells:\n"
    "  0x100  boot slot (1 or 2)\n"
    "  0x13A  boot mode (the source last started)\n"
    "  0x13B  USB boot marker (0xD5 allows booting from a USB stick)\n";

struct EepromCell {
    uint32_t offset;
    const char* name;
};
const EepromCell SWITCH_CELLS[] = {{0x100, "boot slot"}, {0x13A, "boot mode"}, {0x13B, "USB marker"}};

int print_switch_cells(const std::string& dir) {
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

const char* const FLASH_HELP =
    "usage: bmsim flash DIR PARTITION FILE\n"
    "\n"
    "Writes FILE at offset 0 of a flash partition, as a factory programmer would (no erase needed;\n"
    "the rest of the partition is kept). PARTITION is one of: uboot, ubootenv, devicetree,\n"
    "kernel, rfs, rescue.\n";

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

const char* const USB_HELP =
    "usage: bmsim usb DIR insert [--ready-after SECONDS]\n"
    "       bmsim usb DIR remove\n"
    "\n"
    "Inserts or removes the board's USB stick. The stick's files are the folder DIR/usb, which\n"
    "is seen as /mnt/usb inside while the stick is inserted (removing the stick keeps the folder).\n"
    "At each start the readiness marker /tmp/usb appears SECONDS after the program starts, on the\n"
    "board's clock (scaled by boot --time-scale); at once by default.\n";

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

// ---- boot ----

const char* const BOOT_HELP =
    "usage: bmsim boot DIR [--timeout SECONDS] [--power-cycles N] [--time-scale F] [--program PATH]\n"
    "                      [--script FILE] [--machine qemu]\n"
    "\n"
    "Boots the board: the real program runs in a sandbox that imitates the switch, with its console\n"
    "on this terminal. On a terminal the console is interactive: every key goes to the switch\n"
    "(Ctrl-C, Ctrl-Z and Ctrl-\\ too) but the escape key Ctrl-], which is followed by q (stop the\n"
    "board), s (send a file with XMODEM-1K), b (send a break, Ctrl-C), Ctrl-] (send Ctrl-]) or ?\n"
    "(list these). Otherwise standard input is typed on the console as it comes, and after it ends\n"
    "the console waits with no further input. The board stops when the program ends, at the\n"
    "time-out, or when bmsim gets SIGTERM, SIGINT or SIGHUP.\n"
    "\n"
    "  --timeout SECONDS  stop the board after SECONDS of real time (all starts together)\n"
    "  --power-cycles N   start the program again after each reboot of the switch or power cut of\n"
    "                     the faults file, up to N starts (default 1)\n"
    "  --time-scale F     scale the program's own sleeps and waits by F (0.1: ten times faster,\n"
    "                     0: no waiting)\n"
    "  --program PATH     the program to boot instead of the built one (also BMSIM_PROGRAM)\n"
    "  --script FILE      drive the console with the steps of FILE ('-': standard input), one a line:\n"
    "                       expect TEXT      wait (up to the time-out) until TEXT follows the last match\n"
    "                       send TEXT        type TEXT; \\r \\n \\t \\\\ \\xHH as in C (in expect too)\n"
    "                       sendfile PATH    send PATH with XMODEM-1K (lrzsz's sx -k)\n"
    "                       sleep SECONDS    wait\n"
    "                     and # comments. After the last step the console waits with no input.\n"
    "  --machine qemu     boot a virtual machine of the switch: the target program on a real\n"
    "                     kernel's drivers (the build's target 'machine' makes it); the default\n"
    "                     'sandbox' is the device emulator\n"
    "\n"
    "Exit status: that of the program's last start (128+N when killed by signal N), 0 when stopped\n"
    "with Ctrl-] q, 3 when a script step failed (an expect not met, a file not sent), 124 at the\n"
    "time-out, 125 when the board could not be started, 128+N when bmsim itself was stopped by\n"
    "signal N. Each start is recorded in DIR/log (see 'bmsim log').\n";

SandboxPaths default_paths() {
    SandboxPaths paths;
    paths.program = piece_path("BMSIM_PROGRAM", BMSIM_DEFAULT_PROGRAM);
    paths.ctl = piece_path("BMSIM_CTL", BMSIM_DEFAULT_CTL);
    paths.devices_lib = piece_path("BMSIM_DEVICES_LIB", BMSIM_DEFAULT_DEVICES_LIB);
    paths.tty_flush_lib = piece_path("BMSIM_TTY_FLUSH_LIB", BMSIM_DEFAULT_TTY_FLUSH_LIB);
    paths.launcher = piece_path("BMSIM_LAUNCHER", BMSIM_DEFAULT_LAUNCHER);
    paths.rootfs = piece_path("BMSIM_ROOTFS", BMSIM_DEFAULT_ROOTFS);
    return paths;
}

int read_script(const std::string& file, BootRun* run) {
    std::ifstream opened;
    if (file != "-") {
        opened.open(file);
        if (!opened) {
            failure("boot", "cannot read '" + file + "': " + std::strerror(errno));
            return BOOT_NOT_STARTED;
        }
    }
    std::string error;
    run->script_name = file == "-" ? "standard input" : file;
    run->scripted = true;
    run->script.clear();
    if (!parse_script(file == "-" ? std::cin : opened, run->script_name, &run->script, &error))
        return usage_error("boot", error);
    return 0;
}

int parse_boot_options(const Arguments& arguments, BootRun* run) {
    for (const auto& [option, value] : arguments.options) {
        uint32_t cycles = 0;
        if (option == "timeout") {
            if (!parse_seconds(value, &run->timeout) || run->timeout <= 0)
                return usage_error("boot", "--timeout '" + value + "' is not a positive number of seconds");
        } else if (option == "power-cycles") {
            if (!parse_number(value, 1000000, &cycles) || cycles < 1)
                return usage_error("boot", "--power-cycles '" + value + "' is not a number of starts from 1 on");
            run->power_cycles = static_cast<int>(cycles);
        } else if (option == "time-scale") {
            if (!parse_seconds(value, &run->time_scale))
                return usage_error("boot", "--time-scale '" + value + "' is not a factor of 0 or more");
        } else if (option == "program") {
            run->paths.program = value;
        } else if (option == "machine") {
            if (value != "sandbox" && value != "qemu")
                return usage_error("boot", "--machine '" + value + "' is neither 'sandbox' nor 'qemu'");
            run->machine = value == "qemu" ? value : "";
        } else if (int status = read_script(value, run); status != 0) {
            return status;
        }
    }
    return 0;
}

// The sandbox binds these paths, so they must exist and be absolute.
bool locate(const char* what, std::string* path, bool directory) {
    std::error_code error;
    bool found = directory ? fs::is_directory(*path, error) : fs::is_regular_file(*path, error);
    if (!found) {
        std::fprintf(stderr, "bmsim boot: %s '%s' not found\n", what, path->c_str());
        return false;
    }
    *path = fs::absolute(*path).lexically_normal().string();
    return true;
}

bool locate_pieces(BootRun* run) {
    SandboxPaths& paths = run->paths;
    std::string busybox = "/bin/busybox";
    return locate("program", &paths.program, false) && locate("launcher", &paths.launcher, false) &&
           (paths.devices_lib.empty() || locate("device emulator", &paths.devices_lib, false)) &&
           locate("stub folder", &paths.rootfs, true) && locate("busybox", &busybox, false);
}

int run_boot(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.size() != 1) return usage_error("boot", "expects one board directory");
    BootRun run;
    run.paths = default_paths();
    if (int status = parse_boot_options(arguments, &run); status != 0) return status;
    if (!is_board(args[0])) {
        failure("boot", not_a_board(args[0]));
        return BOOT_NOT_STARTED;
    }
    run.board = fs::absolute(args[0]).lexically_normal().string();
    if (run.board.size() > 1 && run.board.back() == '/') run.board.pop_back();
    MachinePieces machine = machine_pieces();
    if (run.machine.empty() ? !locate_pieces(&run) : !locate_machine(&machine)) return BOOT_NOT_STARTED;
    if (!run.machine.empty()) run.machine_command = machine_command(run.board, machine);
    return boot_board(run);
}

// ---- log ----

const char* const LOG_HELP =
    "usage: bmsim log DIR\n"
    "\n"
    "Shows what the switch's programs were asked to do, in order: one line per command line of\n"
    "mount, umount, flash_eraseall, reboot, backtrace, gdbserver and rx, and for each start of\n"
    "'bmsim boot' a line 'bmsim: start N' and a line telling how it ended (application launched\n"
    "and how, reboot requested, exit status, time-out).\n";

int run_log(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.size() != 1) return usage_error("log", "expects one board directory");
    if (!is_board(args[0])) return failure("log", not_a_board(args[0]));
    std::ifstream log(args[0] + "/log");
    if (log) std::cout << log.rdbuf();
    std::cout.flush();
    return 0;
}

int run_keys(const Arguments& arguments) {
    if (!arguments.operands.empty() && !is_board(arguments.operands[0]))
        return failure("keys", not_a_board(arguments.operands[0]));
    std::string problem;
    int status = run_board_keys(arguments.operands, &problem);
    if (status == USAGE_ERROR) return usage_error("keys", problem);
    return status == 0 ? 0 : failure("keys", problem);
}

const Command COMMANDS[] = {
    {"new", NEW_HELP, {}, run_new},
    {"env", ENV_HELP, {{"clear", false}}, run_env},
    {"eeprom", EEPROM_HELP, {}, run_eeprom},
    {"flash", FLASH_HELP, {}, run_flash},
    {"usb", USB_HELP, {{"ready-after", true}}, run_usb},
    {"boot",
     BOOT_HELP,
     {{"timeout", true},
      {"power-cycles", true},
      {"time-scale", true},
      {"program", true},
      {"script", true},
      {"machine", true}},
     run_boot},
    {"log", LOG_HELP, {}, run_log},
    {"keys", KEYS_HELP, {}, run_keys},
};

}  // namespace

int main(int argc, char** argv) {
    std::string first = argc > 1 ? argv[1] : "";
    if (first == "--version") return print_version();
    if (first.empty() || first == "--help" || first == "-h" || first == "help") {
        std::fputs(GENERAL_HELP, first.empty() ? stderr : stdout);
        return first.empty() ? USAGE_ERROR : 0;
    }
    for (const Command& command : COMMANDS) {
        if (first != command.name) continue;
        Arguments arguments;
        if (int status = parse_arguments(command.name, argc - 1, argv + 1, command.options, &arguments); status != 0)
            return status;
        if (arguments.help) return std::fputs(command.help, stdout), 0;
        if (arguments.version) return print_version();
        return command.run(arguments);
    }
    std::fprintf(stderr, "bmsim: unknown command '%s'\n\n%s", first.c_str(), GENERAL_HELP);
    return USAGE_ERROR;
}
