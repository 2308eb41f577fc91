// Application trees and their gzip-compressed tar archives, as application images carry them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct AppFile {
    std::string path;  // relative to /tmp, where the archive is unpacked: "home/bin/distro-id"
    std::string content;
    bool executable = false;
};

// A gzip-compressed tar of the files, made with the host's tar and gzip.
std::vector<uint8_t> make_tarball(const std::vector<AppFile>& files);
// A working application: distro-id, install.sh, env-setup (setting APP_GREETING), and an
// mp.elf.strip script that prints "APPLICATION <label> RUNNING" and its greeting variable.
std::vector<AppFile> standard_app_tree(const std::string& label);
