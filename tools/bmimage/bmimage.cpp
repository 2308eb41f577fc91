// bmimage: makes, packs, lists and extracts BootManager images and packages on the host.
#include <getopt.h>
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

#include "cli.h"
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
    "'bmimage COMMAND --help' describes a command; 'bmimage --version' prints the version.\n"
    "OUT is a new or a regular file (replaced keeping its mode), or '-' for standard output.\n"
    "Exit status: 0 on success, 1 when a file is bad or cannot be written, 2 for a wrong command\n"
    "line.\n";

static const char create_help[] =
    "usage: bmimage create --type TYPE --version A.B.C.D [--format 1|2|3] [--header-len N]\n"
    "                      [--set-bit31] [--embed-header-copy] -o OUT PAYLOAD\n"
    "Makes one image of PAYLOAD: header, payload, CRC-32 over everything after the crc field.\n"
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

static const char pack_help[] =
    "usage: bmimage pack -o OUT IMAGE...\n"
    "Writes a package: the given images (or packages) back to back, in the order given.\n"
    "Every input must be whole, well-formed and carry a good CRC.\n";

static const char info_help[] =
    "usage: bmimage info [--json] [--key PUB...] FILE\n"
    "Lists the images of a package, one row each: index, offset, type, header format, header\n"
    "length, payload length, total length, version, the stored and the computed CRC, and 'ok' or\n"
    "'bad'. XMODEM padding (0x1A bytes) after the last image is stepped over, as the installer\n"
    "does, and reported.\n"
    "\n"
    "  --json     one JSON object per image, in an array\n"
    "  --key PUB  also check each signature image against these public keys\n"
    "\n"
    "Signature images are listed again below the table: the image each signs, its key's\n"
    "fingerprint and, with --key, whether it verifies.\n"
    "\n"
    "Exit status 1 when a CRC is bad or the file is malformed or not an image.\n";

static const char extract_help[] =
    "usage: bmimage extract [--force] FILE INDEX -o OUT\n"
    "Writes the payload of image INDEX (0 is the first, as 'bmimage info' numbers them).\n"
    "\n"
    "  --force  extract an image whose CRC is bad, with a warning (refused otherwise)\n";

// ---- Reporting -------------------------------------------------------------------------------

static void report(const char* format, va_list args) {
    fputs("bmimage: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

// A bad input: one line on standard error, exit status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(format, args);
    va_end(args);
    exit(1);
}

// A command line that cannot be understood: exit status 2.
[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(format, args);
    va_end(args);
    exit(2);
}

// ---- Command lines ---------------------------------------------------------------------------

// Every command takes -o/--output and -h/--help besides its own long options.
static const char short_options[] = ":o:h";

// The option as the user wrote it, for a message: "--name" without its value, or "-c".
static std::string option_as_given(char** argv) {
    std::string arg = argv[optind - 1];
    if (optopt != 0 && !arg.starts_with("--")) return std::string("-") + char(optopt);
    return arg.substr(0, arg.find('='));
}

// argv[0] is the command's name; options and operands may come in any order, up to "--".
CommandLine parse_command_line(int argc, char** argv, const option* options, const char* command, const char* help) {
    CommandLine line;
    optind = 0;
    opterr = 0;
    int index = -1;
    for (int c; (c = getopt_long(argc, argv, short_options, options, &index)) != -1; index = -1) {
        if (c == 'h') {
            fputs(help, stdout);
            exit(0);
        }
        if (c == '?')
            usage_fail("%s: unknown option '%s' (see 'bmimage %s --help')", command, option_as_given(argv).c_str(),
                       command);
        if (c == ':') usage_fail("%s: option '%s' needs a value", command, option_as_given(argv).c_str());
        std::string name = c == 'o' ? "output" : options[index].name;
        if (optarg == nullptr)
            line.flags.insert(name);
        else if (name == "key")
            line.keys.emplace_back(optarg);
        else if (!line.values.emplace(name, optarg).second)
            usage_fail("%s: option '%s' given twice", command, name == "output" ? "-o" : ("--" + name).c_str());
    }
    line.operands.assign(argv + optind, argv + argc);
    return line;
}

std::string required_value(const CommandLine& line, const char* name, const char* command) {
    auto found = line.values.find(name);
    if (found == line.values.end())
        usage_fail("%s: option '--%s' is required (see 'bmimage %s --help')", command, name, command);
    return found->second;
}

void require_operands(const CommandLine& line, size_t low, size_t high, const char* what, const char* command) {
    if (line.operands.size() < low || line.operands.size() > high)
        usage_fail("%s: expected %s (see 'bmimage %s --help')", command, what, command);
}

// A decimal number from 0 to max, digits only.
static uint64_t parse_number(const std::string& text, uint64_t max, const char* what) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > max)
            usage_fail("%s '%s' is not a number from 0 to %llu", what, text.c_str(), (unsigned long long)max);
        value = value * 10 + uint64_t(c - '0');
    }
    if (text.empty() || value > max)
        usage_fail("%s '%s' is not a number from 0 to %llu", what, text.c_str(), (unsigned long long)max);
    return value;
}

// ---- Files -----------------------------------------------------------------------------------

std::vector<uint8_t> read_input(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) fail("cannot read '%s': %s", path.c_str(), strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    bool failed = ferror(file);
    int error = errno;
    fclose(file);
    if (failed) fail("cannot read '%s': %s", path.c_str(), strerror(error));
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

// Why OUT must not be replaced, or "" when it is missing (*old then has st_nlink 0) or a
// writable regular file. A rename over a device node, a FIFO or a symbolic link would replace
// the node itself (as root even the host's /dev/null) instead of writing through it.
static std::string output_refusal(const std::string& path, struct stat* old) {
    *old = {};
    if (lstat(path.c_str(), old) != 0) return errno == ENOENT ? "" : strerror(errno);
    if (S_ISLNK(old->st_mode)) return "it is a symbolic link, not a regular file";
    if (S_ISDIR(old->st_mode)) return "it is a directory";
    if (S_ISCHR(old->st_mode) || S_ISBLK(old->st_mode)) return "it is a device node, not a regular file";
    if (S_ISFIFO(old->st_mode)) return "it is a FIFO, not a regular file";
    if (!S_ISREG(old->st_mode)) return "it is not a regular file";
    // root may write anything: the mode bits stand for the owner's intent
    if ((old->st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0) return "it is read-only";
    return "";
}

// OUT is written whole to a temporary file beside it and renamed over it, so that a failure
// never leaves a partial OUT behind; a replaced file keeps its mode. '-' is standard output.
void write_output(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (path == "-") {
        if (!write_all(STDOUT_FILENO, bytes)) fail("cannot write standard output: %s", strerror(errno));
        return;
    }
    struct stat old;
    std::string refusal = output_refusal(path, &old);
    if (!refusal.empty()) fail("cannot write '%s': %s", path.c_str(), refusal.c_str());
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) fail("cannot write '%s': %s", path.c_str(), strerror(errno));
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = old.st_nlink > 0 ? old.st_mode & 07777 : 0666 & ~mask;
    bool written = fchmod(fd, mode) == 0 && write_all(fd, bytes);
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    // what stands at OUT may have changed while the file was written
    struct stat now;
    if (written && !(refusal = output_refusal(path, &now)).empty()) {
        unlink(temp.c_str());
        fail("cannot write '%s': %s", path.c_str(), refusal.c_str());
    }
    if (written && rename(temp.c_str(), path.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temp.c_str());
        fail("cannot write '%s': %s", path.c_str(), strerror(error));
    }
}

// ---- Package checks --------------------------------------------------------------------------

// What is wrong with a package, in one phrase; "" when it is whole and every CRC is good.
// Padding counts as a problem only where it would stop the walk (inside a package being packed).
static std::string package_problem(const PackageListing& listing, bool padding_allowed) {
    char text[200];
    for (size_t i = 0; i < listing.entries.size(); i++) {
        const PackageEntry& entry = listing.entries[i];
        if (entry.truncated)
            snprintf(text, sizeof text, "image %zu at offset %u is cut short by the end of the file", i, entry.offset);
        else if (!entry.crc_good)
            snprintf(text, sizeof text, "image %zu at offset %u has a bad CRC (stored 0x%08x, computed 0x%08x)", i,
                     entry.offset, entry.stored_crc, entry.computed_crc);
        else
            continue;
        return text;
    }
    if (listing.entries.empty() && !listing.foreign && !listing.malformed)
        snprintf(text, sizeof text, "not an image: %u bytes, under the %u of the shortest image",
                 listing.trailing_bytes, HEADER_PROBE_SIZE);
    else if (listing.entries.empty())
        snprintf(text, sizeof text, "not an image");
    else if (listing.foreign)
        snprintf(text, sizeof text, "no image at offset %u, up to the end of the file", listing.end);
    else if (listing.malformed)
        snprintf(text, sizeof text, "malformed header at offset %u", listing.end);
    else if (listing.trailing_bytes > 0)
        snprintf(text, sizeof text, "trailing piece of %u bytes at offset %u, shorter than an image",
                 listing.trailing_bytes, listing.end);
    else if (listing.padding_bytes > 0 && !padding_allowed)
        snprintf(text, sizeof text, "%u bytes of XMODEM padding at offset %u", listing.padding_bytes, listing.end);
    else
        return "";
    return text;
}

// ---- Commands --------------------------------------------------------------------------------

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
        plan.header_len = uint32_t(parse_number(line.values.at("header-len"), 65535, "header length"));
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

// The size is checked before the payload is read, so that a huge file is refused at once.
static void check_payload_size(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) fail("cannot read '%s': %s", path.c_str(), strerror(errno));
    if (S_ISREG(info.st_mode) && uint64_t(info.st_size) > 0xFFFFFFFFu)
        fail("payload '%s' is too large for 32 bits (%llu bytes)", path.c_str(), (unsigned long long)info.st_size);
}

static int run_create(int argc, char** argv) {
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
    check_payload_size(payload_path);
    std::vector<uint8_t> payload = read_input(payload_path);
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

static const option output_options[] = {
    {"output", required_argument, nullptr, 'o'}, {"help", no_argument, nullptr, 'h'}, {}};

static int run_pack(int argc, char** argv) {
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

// ---- info ------------------------------------------------------------------------------------

// The fields of one listed image as info shows them.
struct EntryTexts {
    char type[16];
    char version[16];
    char stored[16];
    char computed[16];  // "-" when the image is cut short
    const char* verdict;
};

static EntryTexts entry_texts(const PackageEntry& entry) {
    EntryTexts texts;
    std::string name = image_type_name(entry.type);
    if (name.empty())
        snprintf(texts.type, sizeof texts.type, "0x%08x", entry.type);
    else
        snprintf(texts.type, sizeof texts.type, "%s", name.c_str());
    format_version(entry.id, texts.version);
    snprintf(texts.stored, sizeof texts.stored, "0x%08x", entry.stored_crc);
    if (entry.truncated)
        snprintf(texts.computed, sizeof texts.computed, "-");
    else
        snprintf(texts.computed, sizeof texts.computed, "0x%08x", entry.computed_crc);
    texts.verdict = entry.truncated ? "cut short" : entry.crc_good ? "ok" : "bad";
    return texts;
}

static void print_table(const PackageListing& listing) {
    if (listing.entries.empty()) return;
    printf("%-5s  %-10s  %-11s  %-6s  %-6s  %-10s  %-10s  %-15s  %-10s  %-10s  %s\n", "index", "offset", "type",
           "format", "header", "payload", "total", "version", "stored", "computed", "crc");
    for (size_t i = 0; i < listing.entries.size(); i++) {
        const PackageEntry& entry = listing.entries[i];
        EntryTexts texts = entry_texts(entry);
        printf("%-5zu  %-10u  %-11s  %-6d  %-6u  %-10u  %-10u  %-15s  %-10s  %-10s  %s\n", i, entry.offset, texts.type,
               entry.format, entry.header_len, entry.payload_len, entry.total_len, texts.version, texts.stored,
               texts.computed, texts.verdict);
    }
}

// An array of one object per image; the notes that follow the table go to standard error.
static void print_json(const PackageListing& listing, const std::map<uint32_t, std::string>& signatures) {
    printf("[");
    for (size_t i = 0; i < listing.entries.size(); i++) {
        const PackageEntry& entry = listing.entries[i];
        EntryTexts texts = entry_texts(entry);
        std::string computed = entry.truncated ? "null" : std::string("\"") + texts.computed + "\"";
        printf(
            "%s\n{\"index\": %zu, \"offset\": %u, \"format\": %d, \"header_length\": %u, \"payload_length\": %u, "
            "\"type\": \"%s\", \"version\": \"%s\", \"stored_crc\": \"%s\", \"computed_crc\": %s, \"ok\": %s%s}",
            i == 0 ? "" : ",", i, entry.offset, entry.format, entry.header_len, entry.payload_len, texts.type,
            texts.version, texts.stored, computed.c_str(), entry.crc_good ? "true" : "false",
            signatures.count(entry.offset) ? signatures.at(entry.offset).c_str() : "");
    }
    printf("%s]\n", listing.entries.empty() ? "" : "\n");
}

static int run_info(int argc, char** argv) {
    // process arguments
    static const option options[] = {{"json", no_argument, nullptr, 0},
                                     {"key", required_argument, nullptr, 0},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    CommandLine line = parse_command_line(argc, argv, options, "info", info_help);
    require_operands(line, 1, 1, "one FILE", "info");
    if (line.values.count("output")) usage_fail("info: unknown option '-o' (see 'bmimage info --help')");
    const std::string& path = line.operands[0];
    bool json = line.flags.count("json") > 0;

    // list the images
    std::vector<uint8_t> file = read_input(path);
    PackageListing listing = list_package(file);
    if (json)
        print_json(listing, signature_json_fields(file, line));
    else
        print_table(listing);
    if (!json) print_signature_rows(file, line);
    fflush(stdout);
    FILE* notes = json ? stderr : stdout;
    if (listing.padding_bytes > 0)
        fprintf(notes, "%u bytes of XMODEM padding (0x1a) at offset %u, stepped over as the installer does\n",
                listing.padding_bytes, listing.end);

    // judge the package
    std::string problem = package_problem(listing, true);
    if (problem.empty()) return 0;
    fprintf(stderr, "bmimage: '%s': %s\n", path.c_str(), problem.c_str());
    return 1;
}

static int run_extract(int argc, char** argv) {
    // process arguments
    static const option options[] = {{"force", no_argument, nullptr, 0},
                                     {"output", required_argument, nullptr, 'o'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    CommandLine line = parse_command_line(argc, argv, options, "extract", extract_help);
    require_operands(line, 2, 2, "FILE and INDEX", "extract");
    std::string out = required_value(line, "output", "extract");
    const std::string& path = line.operands[0];
    uint64_t index = parse_number(line.operands[1], 0xFFFFFFFFu, "index");

    // find the image
    std::vector<uint8_t> file = read_input(path);
    PackageListing listing = list_package(file);
    if (index >= listing.entries.size())
        fail("index %llu is beyond the package '%s' (%zu images)", (unsigned long long)index, path.c_str(),
             listing.entries.size());
    const PackageEntry& entry = listing.entries[index];
    if (entry.truncated)
        fail("'%s': image %llu is cut short by the end of the file", path.c_str(), (unsigned long long)index);
    if (!entry.crc_good && !line.flags.count("force"))
        fail("'%s': image %llu has a bad CRC (stored 0x%08x, computed 0x%08x); --force extracts it anyway",
             path.c_str(), (unsigned long long)index, entry.stored_crc, entry.computed_crc);
    if (!entry.crc_good)
        fprintf(stderr, "bmimage: warning: '%s': image %llu has a bad CRC (stored 0x%08x, computed 0x%08x)\n",
                path.c_str(), (unsigned long long)index, entry.stored_crc, entry.computed_crc);

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
    if (command == "--version") {
        printf("bmimage %s\n", BM_VERSION);
        return 0;
    }
    if (command == "create") return run_create(argc - 1, argv + 1);
    if (command == "pack") return run_pack(argc - 1, argv + 1);
    if (command == "info") return run_info(argc - 1, argv + 1);
    if (command == "extract") return run_extract(argc - 1, argv + 1);
    if (command == "keygen") return run_keygen(argc - 1, argv + 1);
    if (command == "sign") return run_sign(argc - 1, argv + 1);
    if (command == "verify") return run_verify(argc - 1, argv + 1);
    usage_fail("unknown command '%s' (see 'bmimage --help')", command.c_str());
}
