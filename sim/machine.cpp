// bmsim boot --machine qemu: one start of the board is one run of QEMU's ppce500 machine, made
// and read back by sim/machine/start.sh.
#include "machine.h"

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool locate_file(const char* what, const std::string& path, const char* hint) {
    std::error_code error;
    if (fs::is_regular_file(path, error)) return true;
    std::fprintf(stderr, "bmsim boot: %s '%s' not found%s\n", what, path.c_str(), hint);
    return false;
}

}  // namespace

bool locate_machine(SandboxPaths* paths) {
    const char* build_hint = ": build it with scripts/build-initramfs.sh";
    paths->machine_dir = fs::absolute(paths->machine_dir).lexically_normal().string();
    return locate_file("machine kernel", paths->machine_dir + "/vmlinux", build_hint) &&
           locate_file("machine initramfs", paths->machine_dir + "/initramfs.cpio.gz", build_hint) &&
           locate_file("machine start script", paths->machine_script, "");
}

std::vector<std::string> machine_command(const BootRun& run) {
    return {"bash", run.paths.machine_script, run.board, run.paths.machine_dir};
}
