// bmsim keys: the board's trusted public keys, the folder DIR/keys, which the switch sees as
// /etc/bootmanager/keys.
#include "keys.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "keys/pem_key.h"

namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& path, bool* readable) {
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    *readable = bool(file) || file.eof();
    return text;
}

// "0123456789abcdef" of a public key file, or "" when it holds none.
std::string fingerprint_of(const fs::path& path) {
    bool readable = false;
    std::string text = read_text(path, &readable);
    uint8_t key[ED25519_KEY_SIZE], fingerprint[KEY_FINGERPRINT_SIZE];
    if (!readable || fs::is_directory(path) || !decode_pem_key(text.data(), text.size(), PEM_PUBLIC_KEY, key))
        return "";
    key_fingerprint(key, fingerprint);
    char shown[2 * KEY_FINGERPRINT_SIZE + 1];
    format_fingerprint(fingerprint, shown);
    return shown;
}

int add_key(const std::string& dir, const std::string& source, std::string* problem) {
    if (fingerprint_of(source).empty()) {
        *problem = "'" + source + "' is not an Ed25519 public key in PEM form";
        return 1;
    }
    std::string name = fs::path(source).filename().string();
    if (!name.ends_with(".pem")) name += ".pem";
    std::error_code error;
    fs::create_directories(dir + "/keys", error);
    if (!error) fs::copy_file(source, dir + "/keys/" + name, fs::copy_options::overwrite_existing, error);
    if (error) *problem = "cannot add '" + source + "': " + error.message();
    return error ? 1 : 0;
}

void list_keys(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir + "/keys", error))
        if (entry.path().extension() == ".pem") names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string fingerprint = fingerprint_of(dir + "/keys/" + name);
        std::cout << name << "  " << (fingerprint.empty() ? "not an Ed25519 public key" : fingerprint) << "\n";
    }
}

}  // namespace

int run_board_keys(const std::vector<std::string>& args, std::string* problem) {
    bool add = args.size() == 3 && args[1] == "add";
    if (!add && (args.size() != 2 || (args[1] != "list" && args[1] != "clear"))) {
        *problem = "expects DIR add PUB.pem, DIR list or DIR clear";
        return 2;
    }
    if (add) return add_key(args[0], args[2], problem);
    if (args[1] == "list") {
        list_keys(args[0]);
        return 0;
    }
    std::error_code error;
    fs::remove_all(args[0] + "/keys", error);
    if (error) *problem = "cannot clear '" + args[0] + "/keys': " + error.message();
    return error ? 1 : 0;
}
