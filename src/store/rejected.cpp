// The rejected-image list: one empty file per image, named by the image's MD5 digest, in
// "/user/images/rejected" on the user file system, so that it survives restarts.
#include "store/rejected.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/files.h"
#include "common/shell.h"

namespace {

constexpr int MD5_TEXT_LEN = MD5_TEXT_SIZE - 1;

// The path as one shell word: single quotes, each ' written as '\''. File names come from the
// stick, so nothing in them may be taken as shell syntax.
std::string shell_quoted(const char* path) {
    std::string quoted = "'";
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\'')
            quoted += "'\\''";
        else
            quoted += *p;
    }
    quoted += "'";
    return quoted;
}

// The digest later names a file and stands in a shell command: accept only hex digits.
bool digest_well_formed(const char* digest) {
    for (int i = 0; i < MD5_TEXT_LEN; ++i) {
        if (!isxdigit(static_cast<unsigned char>(digest[i]))) return false;
    }
    return true;
}

void rejected_entry_path(const char* digest, char* path, size_t size) {
    snprintf(path, size, "/user/images/rejected/%s", digest);
}

}  // namespace

bool image_md5(const char* path, char* digest) {
    std::string command = "/bin/busybox md5sum " + shell_quoted(path) + " > /tmp/img_md5string";
    // Without a shell the scratch file still holds the digest of the previous image.
    if (flush_then_shell(command.c_str()) < 0) return false;

    FILE* output = fopen("/tmp/img_md5string", "r");
    if (output == nullptr) return false;
    bool read = read_md5_digest(output, digest);
    fclose(output);
    return read;
}

bool read_md5_digest(FILE* output, char* digest) {
    size_t got = fread(digest, 1, MD5_TEXT_LEN, output);
    digest[got < MD5_TEXT_LEN ? got : MD5_TEXT_LEN] = '\0';
    return got == MD5_TEXT_LEN && digest_well_formed(digest);
}

void reject_image(const char* path) {
    char digest[MD5_TEXT_SIZE];
    if (!image_md5(path, digest)) {
        puts("Warning: Cannot add image to rejected list!");
        return;
    }
    char entry[sizeof("/user/images/rejected/") + MD5_TEXT_SIZE];
    rejected_entry_path(digest, entry, sizeof entry);
    if (path_exists(entry)) return;

    char command[sizeof("touch ") + sizeof entry];
    snprintf(command, sizeof command, "touch %s", entry);
    shell_step("mkdir -p /user/images/rejected");
    shell_step(command);
}

bool is_rejected(const char* path) {
    char digest[MD5_TEXT_SIZE];
    if (!image_md5(path, digest)) {
        puts("Warning: Cannot determine if image is in rejected list!");
        return false;
    }
    char entry[sizeof("/user/images/rejected/") + MD5_TEXT_SIZE];
    rejected_entry_path(digest, entry, sizeof entry);
    return path_exists(entry);
}
