// The switch's key folder, read once on first use.
#include "keys/key_store.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t KEY_FILE_MAX = 4096;

bool is_pem_name(const char* name) {
    size_t length = strlen(name);
    return name[0] != '.' && length > 4 && strcmp(name + length - 4, ".pem") == 0;
}

std::vector<std::string> pem_file_names(const char* folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder);
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir))
        if (is_pem_name(entry->d_name)) names.emplace_back(entry->d_name);
    closedir(dir);
    // a handful of names: an insertion sort keeps the program small
    for (size_t i = 1; i < names.size(); i++)
        for (size_t k = i; k > 0 && names[k] < names[k - 1]; k--) names[k].swap(names[k - 1]);
    return names;
}

// The file's text, at most KEY_FILE_MAX bytes; -1 with errno when it cannot be read, and
// KEY_FILE_MAX + 1 for a longer file.
long read_key_file(const char* path, char* text) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return -1;
    size_t got = fread(text, 1, KEY_FILE_MAX + 1, file);
    int error = errno;
    bool failed = ferror(file) != 0;
    fclose(file);
    errno = error;
    return failed ? -1 : long(got);
}

void load_key_file(const char* path, KeyList* list) {
    list->files++;
    char text[KEY_FILE_MAX + 1];
    long length = read_key_file(path, text);
    if (length < 0) {
        printf("Key file %s ignored: cannot be read (err %d)\n", path, errno);
        return;
    }
    uint8_t key[ED25519_KEY_SIZE];
    if (length > long(KEY_FILE_MAX) || !decode_pem_key(text, size_t(length), PEM_PUBLIC_KEY, key)) {
        printf("Key file %s ignored: not an Ed25519 public key\n", path);
        return;
    }
    if (!add_trusted_key(list, key)) printf("Key file %s ignored: more than %d keys\n", path, MAX_TRUSTED_KEYS);
}

KeyList loaded_keys;
bool keys_loaded = false;

}  // namespace

void load_key_folder(const char* folder, KeyList* list) {
    for (const std::string& name : pem_file_names(folder)) {
        std::string path = std::string(folder) + "/" + name;
        load_key_file(path.c_str(), list);
    }
}

const KeyList& switch_keys() {
    if (!keys_loaded) {
        load_key_folder("/etc/bootmanager/keys", &loaded_keys);
        keys_loaded = true;
    }
    return loaded_keys;
}

bool signatures_required() { return switch_keys().files > 0; }
