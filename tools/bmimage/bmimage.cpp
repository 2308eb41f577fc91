// bmimage: makes, packs, lists and extracts BootManager images and packages on the host.
#include <cstdio>
#include <string>

#include "command_line.h"

static const char program_help[] =
    "usage: bmimage COMMAND [OPTIONS]\n"
    "Makes and inspects BootManager images and packages.\n"
    "\n"
    "commands:\n"
    "  create   make one image from a payload\n"
    "  pack     put images back to back into a package\n"
    "  info     list the images of a package and check their CRC\n"
    "  extract  write the payload of one image of a package\n"
    "\n"
    "'bmimage COMMAND --help' describes a command; 'bmimage --version' prints the version.\n"
    "OUT is a new or a regular file (replaced keeping its mode), or '-' for standard output.\n"
    "Exit status: 0 on success, 1 when a file is bad or cannot be written, 2 for a wrong command\n"
    "line.\n";

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

static const Command commands[] = {
    {"create", run_create}, {"pack", run_pack}, {"info", run_info},     {"extract", run_extract},
    {"keygen", run_keygen}, {"sign", run_sign}, {"verify", run_verify},
};

int main(int argc, char** argv) {
    if (argc < 2) usage_fail("no command given (see 'bmimage --help')");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(program_help, stdout);
        return 0;
    }
    if (command == "--version") {
        printf("bmimage %s\n", BM_VERSION);
        return 0;
    }
    for (const Command& known : commands)
        if (command == known.name) return known.run(argc - 1, argv + 1);
    usage_fail("unknown command '%s' (see 'bmimage --help')", command.c_str());
}
