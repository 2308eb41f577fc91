// bmsim: the simulated board's front end, for people and tests alike. It makes and changes
// board directories and boots the real program on them (sim/README.md).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bmsim_command.h"

namespace {

std::string general_help() {
    return std::string(
               "usage: bmsim COMMAND DIR [ARGUMENTS]\n"
               "\n"
               "The simulated board of the switch. DIR is a board directory: its flash partitions, EEPROM,\n"
               "/user, USB stick and logs.\n"
               "\n"
               "  new DIR                        make a fresh board\n"
               "  env DIR [NAME=VALUE | NAME...] print the boot-loader environment, or set or delete settings\n"
               "  env DIR --print NAME           print one setting's value\n"
               "  env DIR --clear                empty the environment\n"
               "  eeprom DIR [OFFSET [VALUE]]    print the switch's cells, or read or write one EEPROM byte\n"
               "  flash DIR PARTITION FILE       write a file at offset 0 of a flash partition\n"
               "  usb DIR insert [--ready-after SECONDS]\n"
               "  usb DIR remove                 insert or remove the USB stick\n"
               "  boot DIR [--timeout SECONDS] [--power-cycles N] [--time-scale F] [--program PATH]\n"
               "           [--script FILE] [--escape CHAR|none]") +
           (machine_available() ? " [--machine qemu]" : "") +
           "\n"
           "                                 boot the board with its console on this terminal\n"
           "  keys DIR add PUB.pem | list | clear\n"
           "                                 the board's trusted public keys\n"
           "  log DIR                        what the switch's programs were asked to do, and how\n"
           "                                 each start ended\n"
           "\n"
           "'bmsim COMMAND --help' describes one command; 'bmsim --version' tells the version.\n"
           "Exit status: 0 done, 1 a failure, 2 bad usage ('bmsim boot --help' tells its own).\n";
}
struct Command {
    const char* name;
    std::string (*help)();
    std::vector<OptionRule> options;
    int (*run)(const Arguments& args);
};

const Command COMMANDS[] = {
    {"new", new_help, {}, run_new},
    {"env", env_help, {{"clear", false}, {"print", true}}, run_env},
    {"eeprom", eeprom_help, {}, run_eeprom},
    {"flash", flash_help, {}, run_flash},
    {"usb", usb_help, {{"ready-after", true}}, run_usb},
    {"boot",
     boot_help,
     {{"timeout", true},
      {"power-cycles", true},
      {"time-scale", true},
      {"program", true},
      {"script", true},
      {"escape", true},
      {"machine", true}},
     run_boot},
    {"log", log_help, {}, run_log},
    {"keys", keys_help, {}, run_keys},
};

}  // namespace

int main(int argc, char** argv) {
    std::string first = argc > 1 ? argv[1] : "";
    if (first == "--version") return print_version();
    if (first.empty() || first == "--help" || first == "-h" || first == "help") {
        std::fputs(general_help().c_str(), first.empty() ? stderr : stdout);
        return first.empty() ? USAGE_ERROR : 0;
    }
    for (const Command& command : COMMANDS) {
        if (first != command.name) continue;
        Arguments arguments;
        if (int status = parse_arguments(command.name, argc - 1, argv + 1, command.options, &arguments); status != 0)
            return status;
        if (arguments.help) return std::fputs(command.help().c_str(), stdout), 0;
        if (arguments.version) return print_version();
        // a last guard: every failure the commands foresee is reported as its own
        try {
            return command.run(arguments);
        } catch (const std::exception& error) {
            return failure(command.name, error.what());
        }
    }
    std::fprintf(stderr, "bmsim: unknown command '%s'\n\n%s", first.c_str(), general_help().c_str());
    return USAGE_ERROR;
}
