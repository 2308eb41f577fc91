// bmctl: status, install, set-slot and mark-good, the A/B update cycle from the running switch.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/progress.h"
#include "ctl/ctl.h"
#include "hw/eeprom.h"
#include "hw/flash.h"
#include "options/boot_options.h"

FILE* results = stdout;

namespace {

const char* const USAGE =
    "Usage: bmctl COMMAND [OPTIONS]\n"
    "The boot slots of the switch, from the running application.\n"
    "\n"
    "  status [--json]                  the boot slot, how this start came, each slot's image,\n"
    "                                   the flash images' versions and the start counts\n"
    "  install FILE [--slot 1|2] [--skip-same]\n"
    "                                   installs a package; its application image goes into the\n"
    "                                   slot this start did not come from, unless --slot names one;\n"
    "                                   --skip-same leaves images already installed alone\n"
    "  set-slot 1|2                     the slot to boot next; its image must verify\n"
    "  mark-good                        this start works: its slot's start count is cleared\n"
    "\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "Exit status: 0 success, 1 failure (the message names the file or device), 2 bad usage.\n";

int usage_error(const char* problem) {
    fprintf(stderr, "bmctl: %s (bmctl --help)\n", problem);
    return CTL_USAGE;
}

// "1" or "2"; 0 for anything else.
int slot_number(const char* text) { return text && (!strcmp(text, "1") || !strcmp(text, "2")) ? text[0] - '0' : 0; }

struct CommandLine {
    bool json = false, skip_same = false;
    int slot = 0;  // --slot
    const char* command = nullptr;
    const char* operands[2] = {};
    int operand_count = 0;
};

// Options may stand anywhere after the command. -1: carry on; otherwise the exit status.
int parse(int argc, char** argv, CommandLine* line) {
    const option options[] = {{"help", no_argument, nullptr, 'h'},      {"version", no_argument, nullptr, 'V'},
                              {"json", no_argument, nullptr, 'j'},      {"slot", required_argument, nullptr, 's'},
                              {"skip-same", no_argument, nullptr, 'k'}, {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+:", options, nullptr)) != -1 || optind < argc;) {
        switch (c) {
            case 'h': fputs(USAGE, results); return CTL_OK;
            case 'V': fprintf(results, "bmctl %s\n", BM_VERSION); return CTL_OK;
            case 'j': line->json = true; break;
            case 'k': line->skip_same = true; break;
            case 's':
                if (!(line->slot = slot_number(optarg))) return usage_error("--slot takes 1 or 2");
                break;
            case ':': return usage_error("an option lacks its value");
            case '?': return usage_error("unknown option");
            case -1:  // an operand: the command, then its operands
                if (!line->command)
                    line->command = argv[optind];
                else if (line->operand_count < 2)
                    line->operands[line->operand_count++] = argv[optind];
                else
                    return usage_error("too many operands");
                ++optind;
                break;
        }
    }
    return -1;
}

int expect_operands(const CommandLine& line, int count, bool json_allowed, bool install_options) {
    if (line.operand_count != count) return usage_error(count ? "the command lacks its operand" : "too many operands");
    if (line.json && !json_allowed) return usage_error("--json belongs to status");
    if ((line.slot || line.skip_same) && !install_options)
        return usage_error("--slot and --skip-same belong to install");
    return -1;
}

int dispatch(const CommandLine& line) {
    const char* command = line.command;
    int status = -1;
    if (!strcmp(command, "status")) {
        if ((status = expect_operands(line, 0, true, false)) != -1) return status;
        return open_devices() ? run_status(line.json) : CTL_FAILED;
    }
    if (!strcmp(command, "install")) {
        if ((status = expect_operands(line, 1, false, true)) != -1) return status;
        return open_devices() ? run_install(line.operands[0], line.slot, line.skip_same) : CTL_FAILED;
    }
    if (!strcmp(command, "set-slot")) {
        if ((status = expect_operands(line, 1, false, false)) != -1) return status;
        int slot = slot_number(line.operands[0]);
        if (!slot) return usage_error("set-slot takes 1 or 2");
        return open_devices() ? run_set_slot(slot) : CTL_FAILED;
    }
    if (!strcmp(command, "mark-good")) {
        if ((status = expect_operands(line, 0, false, false)) != -1) return status;
        return open_devices() ? run_mark_good() : CTL_FAILED;
    }
    return usage_error("unknown command");
}

// The libraries write their messages to standard output, the switch's console; here standard
// output is for results, so the libraries' output goes to standard error.
void separate_results() {
    int out = dup(STDOUT_FILENO);
    FILE* stream = out >= 0 ? fdopen(out, "w") : nullptr;
    if (!stream) return;
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    results = stream;
}

}  // namespace

int fail(const char* what, const char* reason) {
    fflush(stdout);
    fprintf(stderr, "bmctl: %s: %s\n", what, reason);
    return CTL_FAILED;
}

bool open_devices() {
    if (i2c_open_buses() < 0) {
        int bus = i2c_bus_fd[0] < 0 ? 0 : 1;
        char device[32];
        snprintf(device, sizeof device, "/dev/i2c-%d", bus);
        fail(device, bus == 0 ? "the EEPROM's bus cannot be opened" : "the EEPROM's write guard cannot be opened");
        return false;
    }
    flash_open_partitions();
    read_boot_parameters();
    return true;
}

int started_slot() {
    uint8_t mode = 0;
    eeprom_read(EEPROM_BOOT_MODE, 1, &mode);
    return mode == 1 || mode == 2 ? mode : 0;
}

int main(int argc, char** argv) {
    separate_results();
    progress_shown = isatty(STDERR_FILENO) == 1;
    CommandLine line;
    int status = parse(argc, argv, &line);
    if (status == -1) status = line.command ? dispatch(line) : usage_error("no command");
    fflush(stdout);
    return fclose(results) == 0 || status != CTL_OK ? status : CTL_FAILED;
}
