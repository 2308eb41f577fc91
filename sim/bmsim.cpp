// bmsim: the simulated board's front end, for people and tests alike. It makes and changes
// board directories and boots the real program on them (sim/README.md).
#include <cstdio>
#include <string>
#include <vector>

#include "bmsim_command.h"

namespace {

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
    "  log DIR                        what the switch's programs were asked to do, and how\n"
    "                                 each start ended\n"
    "\n"
    "'bmsim COMMAND --help' describes one command; 'bmsim --version' tells the version.\n"
    "Exit status: 0 done, 1 a failure, 2 bad usage ('bmsim boot --help' tells its own).\n";
struct Command {
    const char* name;
    const char* help;
    std::vector<OptionRule> options;
    int (*run)(const Arguments& args);
};

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
