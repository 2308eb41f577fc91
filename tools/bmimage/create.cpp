// bmimage create: one image of a payload.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "image/image_header.h"
#include "payload.h"

static const char create_help[] =
    "usage: bmimage create --type TYPE --version A.B.C.D [--format 1|2|3] [--header-len N]\n"
    "                      [--set-bit31] [--embed-header-copy] -o OUT PAYLOAD\n"
    "Makes one image of PAYLOAD: header, payload, CRC-32 over everything after the crc field.\n"
    "PAYLOAD is a file, '-' for standard input, or for an application or diagnostics image a\n"
    "directory, packed as the gzip tar the switch unpacks in /tmp. Such a payload is checked for\n"
    "home/bin/distro-id and the program the switch starts (home/bin/mp.elf.strip, or\n"
    "mpdiag.elf.strip for diagnostics) and a warning names what is missing.\n"
    "An image is at least 24 bytes long (a format-1 payload at least 8 bytes).\n"
    "\n"
    "  --type TYPE          application, bootloader, kernel, rootfs, devicetree or diagnostics\n"
    "  --version A.B.C.D    the version, each part 0 to 255\n"
    "  --format 1|2|3       header format (default 1)\n"
    "  --header-len N       formats 2 and 3: whole header length, 20 (format 2) or 24 (format 3)\n"
    "                       by default and at least; unused header bytes are zero\n"
    "  --set-bit31          format 3: also set bit 31 of magic (format 2 always sets it)\n"
    "  --embed-header-copy  boot loader: write the image's len, magic and id into payload bytes\n"
    "                       244 to 255 (bytes 240 to 243, the copy's crc, are zero), padding the\n"
    "                       payload with zeros to 256 bytes; without it the payload is kept as is\n"
    "  -o, --output OUT     the image file to write\n";

static ImageSpec create_spec(const CommandLine& line) {
    ImageSpec plan;
    std::string type = required_value(line, "type", "create");
    if (!parse_image_type(type, &plan.type))
        usage_fail(
            "create: unknown image type '%s' (application, bootloader, kernel, rootfs, devicetree, "
            "diagnostics)",
            type.c_str());
    std::string version = required_value(line, "version", "create");
    if (!parse_version(version, &plan.id))
        usage_fail("create: version '%s' is not of the form a.b.c.d with parts 0 to 255", version.c_str());
    if (line.values.count("format")) {
        const std::string& format = line.values.at("format");
        if (format != "1" && format != "2" && format != "3")
            usage_fail("create: format '%s' is not 1, 2 or 3", format.c_str());
        plan.format = format[0] - '0';
    }
    if (line.values.count("header-len")) {
        if (plan.format == 1) usage_fail("create: --header-len applies to formats 2 and 3 only");
        uint32_t minimum = plan.format == 2 ? 20 : 24;
        plan.header_len = uint32_t(parse_number(line.values.at("header-len"), 65535, "header length", "create"));
        if (plan.header_len < minimum)
            usage_fail("create: header length %u is too short for format %d (at least %u)", plan.header_len,
                       plan.format, minimum);
    }
    plan.set_bit31 = line.flags.count("set-bit31") > 0;
    if (plan.set_bit31 && plan.format != 3)
        usage_fail("create: --set-bit31 applies to format 3 only (format 2 always sets bit 31)");
    plan.embed_header_copy = line.flags.count("embed-header-copy") > 0;
    if (plan.embed_header_copy && plan.type != IMAGE_BOOTLOADER)
        usage_fail("create: --embed-header-copy applies to boot loader images only");
    return plan;
}

// The payload file, standard input ('-'), or for the images the switch unpacks a directory
// packed as a gzip tar. The size is checked before a file is read, so that a huge one is
// refused at once.
static std::vector<uint8_t> read_payload(const std::string& path, uint32_t type) {
    if (path == "-") return read_input(path);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) fail("cannot read '%s': %s", path.c_str(), strerror(errno));
    if (S_ISREG(info.st_mode) && uint64_t(info.st_size) > 0xFFFFFFFFu)
        fail("payload '%s' is too large for 32 bits (%llu bytes)", path.c_str(), (unsigned long long)info.st_size);
    if (!S_ISDIR(info.st_mode)) return read_input(path);
    if (type != IMAGE_APPLICATION && type != IMAGE_DIAGNOSTICS)
        fail("cannot read '%s': Is a directory (only application and diagnostics images are made of one)",
             path.c_str());
    std::vector<uint8_t> archive;
    std::string error;
    if (!tar_directory(path, &archive, &error)) fail("%s", error.c_str());
    return archive;
}

int run_create(int argc, char** argv) {
    // process arguments
    static const option options[] = {{"type", required_argument, nullptr, 0},
                                     {"version", required_argument, nullptr, 0},
                                     {"format", required_argument, nullptr, 0},
                                     {"header-len", required_argument, nullptr, 0},
                                     {"set-bit31", no_argument, nullptr, 0},
                                     {"embed-header-copy", no_argument, nullptr, 0},
                                     {"output", required_argument, nullptr, 'o'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    CommandLine line = parse_command_line(argc, argv, options, "create", create_help);
    require_operands(line, 1, 1, "one PAYLOAD file", "create");
    std::string out = required_value(line, "output", "create");
    ImageSpec plan = create_spec(line);

    // build the image
    const std::string& payload_path = line.operands[0];
    std::vector<uint8_t> payload = read_payload(payload_path, plan.type);
    for (const std::string& warning : payload_warnings(plan.type, payload))
        fprintf(stderr, "bmimage: warning: payload '%s': %s\n", payload_path.c_str(), warning.c_str());
    std::vector<uint8_t> image = build_image(plan, payload);
    if (image.empty()) fail("payload '%s' is too large for 32 bits", payload_path.c_str());
    // every walk reads a 24-byte probe of an image, so a shorter one at the end of a file is
    // never seen: info, pack and the switch would all refuse it
    if (image.size() < HEADER_PROBE_SIZE)
        fail("payload '%s' is too short: %zu bytes make an image of %zu bytes, under the %u an image needs",
             payload_path.c_str(), payload.size(), image.size(), HEADER_PROBE_SIZE);

    write_output(out, image);
    return 0;
}
