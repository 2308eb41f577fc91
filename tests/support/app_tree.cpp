// Application trees packed the way images carry them, in a temporary directory.
#include "support/app_tree.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/console_driver.h"

std::vector<uint8_t> make_tarball(const std::vector<AppFile>& files) {
    namespace fs = std::filesystem;
    char root[] = "/tmp/bm-apptree.XXXXXX";
    if (!mkdtemp(root)) throw std::runtime_error("mkdtemp failed");
    for (const auto& file : files) {
        fs::path path = fs::path(root) / file.path;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << file.content;
        chmod(path.c_str(), file.executable ? 0755 : 0644);
    }
    std::string archive, tar = " && tar --owner=0 --group=0 --numeric-owner --mtime=@0 --sort=name -cf - *";
    bool failed = run_command("cd " + std::string(root) + tar + " | gzip -n", &archive) != 0;
    fs::remove_all(root);
    if (failed) throw std::runtime_error("tar or gzip failed");
    return std::vector<uint8_t>(archive.begin(), archive.end());
}

std::vector<AppFile> standard_app_tree(const std::string& label) {
    return {
        {"home/bin/distro-id", "bootmanager-sim-switch\n", false},
        {"home/bin/install.sh", "#!/bin/sh\necho \"install.sh of " + label + " ran\"\n", true},
        {"home/bin/env-setup", "APP_GREETING hello-from-" + label + "\n", false},
        {"home/bin/mp.elf.strip",
         "#!/bin/sh\necho \"APPLICATION " + label + " RUNNING\"\necho \"APP_GREETING=$APP_GREETING\"\n", true},
    };
}
