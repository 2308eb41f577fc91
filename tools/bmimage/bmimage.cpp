// bmimage: makes, packs, lists and extracts BootManager images and packages on the host.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/image_header.h"
#include "image_builder.h"

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
    "'bmimage COMMAND --help' describes a command.\n";

static const char create_help[] =
    "usage: bmimage create --type TYPE --version A.B.C.D [--format 1|2|3] [--header-len N]\n"
    "                      [--set-bit31] [--embed-header-copy] -o OUT PAYLOAD\n"
    "Makes one image of PAYLOAD: header, payload, CRC-32 over everything after the crc field.\n"
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
    "  -o OUT               the image file to write\n";

static const char pack_help[] =
    "usage: bmimage pack -o OUT IMAGE...\n"
    "Writes a package: the given images (or packages) back to back, in the order given.\n"
    "Every input must be whole, well-formed and carry a good CRC.\n";

static const char info_help[] =
    "usage: bmimage info FILE\n"
    "Lists the images of a package, one row each: index, offset, type, header format, header\n"
    "length, payload length, total length, version and whether the CRC is good.\n"
    "Exit status 1 when a CRC is bad or the file is malformed.\n";

static const char extract_help[] =
    "usage: bmimage extract FILE INDEX -o OUT\n"
    "Writes the payload of image INDEX (0 is the first, as 'bmimage info' numbers them).\n";

// ---- Reporting -------------------------------------------------------------------------------

static void report(const char* format, va_list args) {
    fputs("bmimage: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

// A bad input: one line on standard error, exit status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) static void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(format, args);
    va_end(args);
    exit(1);
}

// A command line that cannot be understood: exit status 2.
[[noreturn]] __attribute__((format(printf, 1, 2))) static void usage_fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(format, args);
    va_end(args);
    exit(2);
}

// ---- Command lines ---------------------------------------------------------------------------

struct CommandLine {
    std::vector<std::string> operands;
    std::map<std::string, std::string> values;  // options that take a value
    std::set<std::string> flags;                // options that stand alone
};

struct OptionSet {
    std::set<std::string> with_value;
    std::set<std::string> flags;
};

static CommandLine parse_command_line(int argc, char** argv, const OptionSet& options, const char* command,
                                      const char* help) {
    CommandLine line;
    bool options_ended = false;
    for (int i = 0; i < argc; i++) {
        std::string arg = argv[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            line.operands.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help" || arg == "-h") {
            fputs(help, stdout);
            exit(0);
        } else if (options.flags.count(arg)) {
            line.flags.insert(arg);
        } else if (!options.with_value.count(arg)) {
            usage_fail("%s: unknown option '%s' (see 'bmimage %s --help')", command, arg.c_str(), command);
        } else if (i + 1 >= argc) {
            usage_fail("%s: option '%s' needs a value", command, arg.c_str());
        } else if (!line.values.emplace(arg, argv[++i]).second) {
            usage_fail("%s: option '%s' given twice", command, arg.c_str());
        }
    }
    return line;
}

static std::string required_value(const CommandLine& line, const char* option, const char* command) {
    auto found = line.values.find(option);
    if (found == line.values.end())
        usage_fail("%s: option '%s' is required (see 'bmimage %s --help')", command, option, command);
    return found->second;
}

static void require_operands(const CommandLine& line, size_t low, size_t high, const char* what, const char* command) {
    if (line.operands.size() < low || line.operands.size() > high)
        usage_fail("%s: expected %s (see 'bmimage %s --help')", command, what, command);
}

// A decimal number from 0 to max, digits only.
static uint64_t parse_number(const std::string& text, uint64_t max, const char* what) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > max)
            fail("%s '%s' is not a number from 0 to %llu", what, text.c_str(), (unsigned long long)max);
        value = value * 10 + uint64_t(c - '0');
    }
    if (text.empty() || value > max)
        fail("%s '%s' is not a number from 0 to %llu", what, text.c_str(), (unsigned long long)max);
    return value;
}

// ---- Files -----------------------------------------------------------------------------------

static std::vector<uint8_t> read_input(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) fail("cannot read %s: %s", path.c_str(), strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    bool failed = ferror(file);
    int error = errno;
    fclose(file);
    if (failed) fail("cannot read %s: %s", path.c_str(), strerror(error));
    return bytes;
}

static bool write_all(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Written to a temporary file beside OUT and renamed over it, so that a failure never leaves a
// partial OUT behind.
static void write_output(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) fail("cannot write %s: %s", path.c_str(), strerror(errno));
    mode_t mask = umask(0);
    umask(mask);
    bool written = fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, bytes);
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && rename(temp.c_str(), path.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temp.c_str());
        fail("cannot write %s: %s", path.c_str(), strerror(error));
    }
}

// ---- Package checks --------------------------------------------------------------------------

static uint32_t listing_end(const PackageListing& listing) {
    if (listing.entries.empty()) return 0;
    const PackageEntry& last = listing.entries.back();
    return last.offset + last.total_len;
}

// What is wrong with a package, in one phrase; "" when it is whole and every CRC is good.
static std::string package_problem(const PackageListing& listing) {
    char text[160];
    for (size_t i = 0; i < listing.entries.size(); i++) {
        const PackageEntry& entry = listing.entries[i];
        if (entry.truncated)
            snprintf(text, sizeof text, "image %zu at offset %u is cut short by the end of the file", i, entry.offset);
        else if (!entry.crc_good)
            snprintf(text, sizeof text, "image %zu at offset %u has a bad CRC", i, entry.offset);
        else
            continue;
        return text;
    }
    if (listing.malformed) {
        snprintf(text, sizeof text, "malformed header at offset %u", listing_end(listing));
        return text;
    }
    if (listing.entries.empty()) {
        snprintf(text, sizeof text, "no image: %u bytes are too few for an image header", listing.trailing_bytes);
        return text;
    }
    if (listing.trailing_bytes > 0) {
        snprintf(text, sizeof text, "trailing piece of %u bytes at offset %u, shorter than a header",
                 listing.trailing_bytes, listing_end(listing));
        return text;
    }
    return "";
}

// ---- Commands --------------------------------------------------------------------------------

static ImageSpec create_spec(const CommandLine& line) {
    ImageSpec plan;
    std::string type = required_value(line, "--type", "create");
    if (!parse_image_type(type, &plan.type))
        fail(
            "unknown image type '%s' (application, bootloader, kernel, rootfs, devicetree, "
            "diagnostics)",
            type.c_str());
    std::string version = required_value(line, "--version", "create");
    if (!parse_version(version, &plan.id))
        fail("version '%s' is not of the form a.b.c.d with parts 0 to 255", version.c_str());
    if (line.values.count("--format")) {
        const std::string& format = line.values.at("--format");
        if (format != "1" && format != "2" && format != "3") fail("format '%s' is not 1, 2 or 3", format.c_str());
        plan.format = format[0] - '0';
    }
    if (line.values.count("--header-len")) {
        if (plan.format == 1) fail("--header-len applies to formats 2 and 3 only");
        uint32_t minimum = plan.format == 2 ? 20 : 24;
        plan.header_len = uint32_t(parse_number(line.values.at("--header-len"), 65535, "header length"));
        if (plan.header_len < minimum)
            fail("header length %u is too short for format %d (at least %u)", plan.header_len, plan.format, minimum);
    }
    plan.set_bit31 = line.flags.count("--set-bit31") > 0;
    if (plan.set_bit31 && plan.format != 3) fail("--set-bit31 applies to format 3 only (format 2 always sets bit 31)");
    plan.embed_header_copy = line.flags.count("--embed-header-copy") > 0;
    if (plan.embed_header_copy && plan.type != IMAGE_BOOTLOADER)
        fail("--embed-header-copy applies to boot loader images only");
    return plan;
}

// The size is checked before the payload is read, so that a huge file is refused at once.
static void check_payload_size(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) fail("cannot read %s: %s", path.c_str(), strerror(errno));
    if (S_ISREG(info.st_mode) && uint64_t(info.st_size) > 0xFFFFFFFFu)
        fail("payload %s is too large for 32 bits (%llu bytes)", path.c_str(), (unsigned long long)info.st_size);
}

static int run_create(int argc, char** argv) {
    // process arguments
    CommandLine line = parse_command_line(
        argc, argv, {{"--type", "--version", "--format", "--header-len", "-o"}, {"--set-bit31", "--embed-header-copy"}},
        "create", create_help);
    require_operands(line, 1, 1, "one PAYLOAD file", "create");
    std::string out = required_value(line, "-o", "create");
    ImageSpec plan = create_spec(line);

    // build the image
    const std::string& payload_path = line.operands[0];
    check_payload_size(payload_path);
    std::vector<uint8_t> image = build_image(plan, read_input(payload_path));
    if (image.empty()) fail("payload %s is too large for 32 bits", payload_path.c_str());

    write_output(out, image);
    return 0;
}

static int run_pack(int argc, char** argv) {
    // process arguments
    CommandLine line = parse_command_line(argc, argv, {{"-o"}, {}}, "pack", pack_help);
    require_operands(line, 1, SIZE_MAX, "at least one IMAGE file", "pack");
    std::string out = required_value(line, "-o", "pack");

    // check and join the images
    std::vector<uint8_t> package;
    for (const std::string& path : line.operands) {
        std::vector<uint8_t> image = read_input(path);
        std::string problem = package_problem(list_package(image));
        if (!problem.empty()) fail("%s: %s", path.c_str(), problem.c_str());
        if (package.size() + image.size() > 0xFFFFFFFFu) fail("package too large for 32 bits at %s", path.c_str());
        package.insert(package.end(), image.begin(), image.end());
    }

    write_output(out, package);
    return 0;
}

static void print_entry(size_t index, const PackageEntry& entry) {
    char type[16];
    std::string name = image_type_name(entry.type);
    if (name.empty())
        snprintf(type, sizeof type, "0x%08x", entry.type);
    else
        snprintf(type, sizeof type, "%s", name.c_str());
    char version[16];
    format_version(entry.id, version);
    const char* crc = entry.truncated ? "cut short" : entry.crc_good ? "good" : "bad";
    printf("%-5zu  %-10u  %-11s  %-6d  %-6u  %-10u  %-10u  %-15s  %s\n", index, entry.offset, type, entry.format,
           entry.header_len, entry.payload_len, entry.total_len, version, crc);
}

static int run_info(int argc, char** argv) {
    // process arguments
    CommandLine line = parse_command_line(argc, argv, {{}, {}}, "info", info_help);
    require_operands(line, 1, 1, "one FILE", "info");
    const std::string& path = line.operands[0];

    // list the images
    PackageListing listing = list_package(read_input(path));
    printf("%-5s  %-10s  %-11s  %-6s  %-6s  %-10s  %-10s  %-15s  %s\n", "index", "offset", "type", "format", "header",
           "payload", "total", "version", "crc");
    for (size_t i = 0; i < listing.entries.size(); i++) print_entry(i, listing.entries[i]);
    if (listing.malformed)
        printf("malformed header at offset %u: its lengths cannot describe an image\n", listing_end(listing));
    if (listing.trailing_bytes > 0)
        printf("trailing piece of %u bytes at offset %u, shorter than a header\n", listing.trailing_bytes,
               listing_end(listing));

    // judge the package
    std::string problem = package_problem(listing);
    if (problem.empty()) return 0;
    fflush(stdout);
    fprintf(stderr, "bmimage: %s: %s\n", path.c_str(), problem.c_str());
    return 1;
}

static int run_extract(int argc, char** argv) {
    // process arguments
    CommandLine line = parse_command_line(argc, argv, {{"-o"}, {}}, "extract", extract_help);
    require_operands(line, 2, 2, "FILE and INDEX", "extract");
    std::string out = required_value(line, "-o", "extract");
    const std::string& path = line.operands[0];
    uint64_t index = parse_number(line.operands[1], 0xFFFFFFFFu, "index");

    // find the image
    std::vector<uint8_t> file = read_input(path);
    PackageListing listing = list_package(file);
    if (index >= listing.entries.size())
        fail("index %llu is beyond the package %s (%zu images)", (unsigned long long)index, path.c_str(),
             listing.entries.size());
    const PackageEntry& entry = listing.entries[index];
    if (entry.truncated)
        fail("%s: image %llu is cut short by the end of the file", path.c_str(), (unsigned long long)index);

    // write its payload
    auto payload = file.begin() + entry.offset + entry.header_len;
    write_output(out, std::vector<uint8_t>(payload, payload + entry.payload_len));
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) usage_fail("no command given (see 'bmimage --help')");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(program_help, stdout);
        return 0;
    }
    if (command == "create") return run_create(argc - 2, argv + 2);
    if (command == "pack") return run_pack(argc - 2, argv + 2);
    if (command == "info") return run_info(argc - 2, argv + 2);
    if (command == "extract") return run_extract(argc - 2, argv + 2);
    usage_fail("unknown command '%s' (see 'bmimage --help')", command.c_str());
}
