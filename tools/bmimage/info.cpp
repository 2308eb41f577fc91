// bmimage info and extract: the images of a package listed and checked, and one payload written.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "command_line.h"
#include "image/image_header.h"

static const char info_help[] =
    "usage: bmimage info [--json] [--key PUB...] FILE\n"
    "Lists the images of a package, one row each: index, offset, type, header format, header\n"
    "length, payload length, total length, version, the stored and the computed CRC, and 'ok' or\n"
    "'bad'. XMODEM padding (0x1A bytes) after the last image is stepped over, as the installer\n"
    "does, and reported; so is erased flash (0xFF bytes) after the last image of a flash\n"
    "partition's dump, with a note on standard error. FILE '-' is standard input.\n"
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

int run_info(int argc, char** argv) {
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
    if (listing.erased_bytes > 0)
        fprintf(stderr, "bmimage: note: %u bytes of erased flash (0xff) at offset %u, stepped over\n",
                listing.erased_bytes, listing.end);

    // judge the package
    std::string problem = package_problem(listing, true);
    if (problem.empty()) return 0;
    fprintf(stderr, "bmimage: '%s': %s\n", path.c_str(), problem.c_str());
    return 1;
}

int run_extract(int argc, char** argv) {
    // process arguments
    static const option options[] = {{"force", no_argument, nullptr, 0},
                                     {"output", required_argument, nullptr, 'o'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    CommandLine line = parse_command_line(argc, argv, options, "extract", extract_help);
    require_operands(line, 2, 2, "FILE and INDEX", "extract");
    std::string out = required_value(line, "output", "extract");
    const std::string& path = line.operands[0];
    uint64_t index = parse_number(line.operands[1], 0xFFFFFFFFu, "index", "extract");

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
