// Application and diagnostics payloads: made of a directory with the host's tar, and checked for
// the entries the switch needs (docs/images.md describes the layouts).
#include "payload.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "image/image_header.h"

namespace {

constexpr size_t TAR_BLOCK = 512;
// A payload that unpacks to more than this is not searched through (the switch's /tmp is far
// smaller).
constexpr size_t MAX_UNPACKED = size_t(1) << 30;

std::vector<std::string> top_entries(const std::string& dir, std::string* error) {
    std::vector<std::string> names;
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) {
        *error = "cannot read '" + dir + "': " + strerror(errno);
        return names;
    }
    while (dirent* entry = readdir(folder))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

// gunzip of the whole payload; false when it is no gzip stream or too large to search.
bool gunzip(const std::vector<uint8_t>& packed, std::vector<uint8_t>* unpacked) {
    z_stream stream = {};
    if (packed.size() < 2 || packed[0] != 0x1f || packed[1] != 0x8b || inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return false;
    stream.next_in = const_cast<Bytef*>(packed.data());
    stream.avail_in = uInt(std::min<size_t>(packed.size(), UINT32_MAX));
    int result = Z_OK;
    uint8_t chunk[65536];
    while (result == Z_OK && unpacked->size() <= MAX_UNPACKED) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        unpacked->insert(unpacked->end(), chunk, chunk + (sizeof chunk - stream.avail_out));
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END;
}

std::string field(const uint8_t* header, size_t offset, size_t length) {
    const char* text = reinterpret_cast<const char*>(header + offset);
    return std::string(text, strnlen(text, length));
}

// The names in a tar (ustar and GNU headers), with any leading "./" dropped; empty when the
// bytes are no tar.
std::set<std::string> tar_names(const std::vector<uint8_t>& tar) {
    std::set<std::string> names;
    for (size_t at = 0; at + TAR_BLOCK <= tar.size();) {
        const uint8_t* header = tar.data() + at;
        if (std::all_of(header, header + TAR_BLOCK, [](uint8_t b) { return b == 0; })) break;
        if (memcmp(header + 257, "ustar", 5) != 0) break;
        std::string prefix = field(header, 345, 155);
        std::string name = (prefix.empty() ? "" : prefix + "/") + field(header, 0, 100);
        while (name.starts_with("./")) name.erase(0, 2);
        names.insert(name);
        uint64_t size = strtoull(field(header, 124, 12).c_str(), nullptr, 8);
        at += TAR_BLOCK + (size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
    }
    return names;
}

}  // namespace

bool tar_directory(const std::string& dir, std::vector<uint8_t>* archive, std::string* error) {
    std::vector<std::string> entries = top_entries(dir, error);
    if (!error->empty()) return false;
    std::vector<std::string> words = {"tar",         "--create",  "--gzip",    "--file=-",
                                      "--sort=name", "--owner=0", "--group=0", "--numeric-owner",
                                      "--directory", dir,         "--"};
    words.insert(words.end(), entries.begin(), entries.end());
    int out[2];
    if (pipe(out) != 0) return *error = std::string("cannot start tar: ") + strerror(errno), false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp("tar", argv.data());
        _exit(127);
    }
    close(out[1]);
    uint8_t chunk[65536];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        archive->insert(archive->end(), chunk, chunk + n);
    }
    close(out[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = "tar could not pack '" + dir + "'";
        return false;
    }
    return true;
}

std::vector<std::string> payload_warnings(uint32_t type, const std::vector<uint8_t>& payload) {
    if (type != IMAGE_APPLICATION && type != IMAGE_DIAGNOSTICS) return {};
    std::vector<uint8_t> tar;
    if (!gunzip(payload, &tar)) return {"it is not a gzip-compressed tar, which the switch unpacks with 'tar xzf'"};
    std::set<std::string> names = tar_names(tar);
    if (names.empty()) return {"it is gzip-compressed but holds no tar"};
    std::vector<std::string> warnings;
    const char* program = type == IMAGE_APPLICATION ? "home/bin/mp.elf.strip" : "mpdiag.elf.strip";
    for (const char* needed : {"home/bin/distro-id", program})
        if (!names.count(needed))
            warnings.push_back(std::string("it holds no ") + needed + ", which the switch " +
                               (std::string(needed) == program ? "starts" : "looks for before the start"));
    return warnings;
}
