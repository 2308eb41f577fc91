// What bmimage's commands share: reporting, the command line, files and the package check.
#include "command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/image_header.h"

// ---- Reporting -------------------------------------------------------------------------------

static void report(const char* format, va_list args) {
    fputs("bmimage: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(format, args);
    va_end(args);
    exit(1);
}

void usage_fail(const char* format, ...) {
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

uint64_t parse_number(const std::string& text, uint64_t max, const char* what, const char* command) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > max)
            usage_fail("%s: %s '%s' is not a number from 0 to %llu (see 'bmimage %s --help')", command, what,
                       text.c_str(), (unsigned long long)max, command);
        value = value * 10 + uint64_t(c - '0');
    }
    if (text.empty() || value > max)
        usage_fail("%s: %s '%s' is not a number from 0 to %llu (see 'bmimage %s --help')", command, what, text.c_str(),
                   (unsigned long long)max, command);
    return value;
}

// ---- Files -----------------------------------------------------------------------------------

std::vector<uint8_t> read_input(const std::string& path) {
    FILE* file = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (file == nullptr) fail("cannot read '%s': %s", path.c_str(), strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    bool failed = ferror(file);
    int error = errno;
    if (file != stdin) fclose(file);
    if (failed) fail("cannot read '%s': %s", path == "-" ? "standard input" : path.c_str(), strerror(error));
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

// Padding counts as a problem only where it would stop the walk (inside a package being packed).
std::string package_problem(const PackageListing& listing, bool padding_allowed) {
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
    else if (listing.erased_bytes > 0 && !padding_allowed)
        snprintf(text, sizeof text, "%u bytes of erased flash at offset %u", listing.erased_bytes, listing.end);
    else if (listing.padding_bytes > 0 && !padding_allowed)
        snprintf(text, sizeof text, "%u bytes of XMODEM padding at offset %u", listing.padding_bytes, listing.end);
    else
        return "";
    return text;
}
