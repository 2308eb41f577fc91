// bmimage pack: images back to back into a package.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "image/image_header.h"

static const char pack_help[] =
    "usage: bmimage pack -o OUT IMAGE...\n"
    "Writes a package: the given images (or packages) back to back, in the order given.\n"
    "Every input must be whole, well-formed and carry a good CRC.\n";

static const option output_options[] = {
    {"output", required_argument, nullptr, 'o'}, {"help", no_argument, nullptr, 'h'}, {}};

int run_pack(int argc, char** argv) {
    // process arguments
    CommandLine line = parse_command_line(argc, argv, output_options, "pack", pack_help);
    require_operands(line, 1, SIZE_MAX, "at least one IMAGE file", "pack");
    std::string out = required_value(line, "output", "pack");

    // check and join the images
    std::vector<uint8_t> package;
    for (const std::string& path : line.operands) {
        std::vector<uint8_t> image = read_input(path);
        std::string problem = package_problem(list_package(image), false);
        if (!problem.empty()) fail("'%s': %s", path.c_str(), problem.c_str());
        if (package.size() + image.size() > 0xFFFFFFFFu) fail("package too large for 32 bits at '%s'", path.c_str());
        package.insert(package.end(), image.begin(), image.end());
    }

    write_output(out, package);
    return 0;
}
