// bmsim boot --machine qemu: one start of the board is one run of QEMU's ppce500 machine, made
// and read back by start.sh.
#include "machine.h"

#include <cstdio>
#include <filesystem>

#include "pieces.h"

namespace fs = std::filesystem;

namespace {

bool locate_file(const char* what, const std::string& path, const std::string& hint) {
    std::error_code error;
    if (fs::is_regular_file(path, error)) return true;
    std::fprintf(stderr, "bmsim boot: the machine's %s '%s' is missing%s\n", what, path.c_str(), hint.c_str());
    return false;
}

}  // namespace

MachinePieces machine_pieces() {
    return {piece_path("BMSIM_MACHINE_DIR", BMSIM_DEFAULT_MACHINE_DIR),
            piece_path("BMSIM_MACHINE_SCRIPT", BMSIM_DEFAULT_MACHINE_SCRIPT)};
}

bool locate_machine(MachinePieces* pieces) {
    pieces->dir = fs::absolute(pieces->dir).lexically_normal().string();
    if (pieces->dir.size() > 1 && pieces->dir.back() == '/') pieces->dir.pop_back();
    std::string hint = ": make it with scripts/build-initramfs.sh " + pieces->dir;
    return locate_file("kernel", pieces->dir + "/vmlinux", hint) &&
           locate_file("initramfs", pieces->dir + "/initramfs.cpio", hint) &&
           locate_file("start script", pieces->script, "");
}

std::vector<std::string> machine_command(const std::string& board, const MachinePieces& pieces) {
    return {"bash", pieces.script, board, pieces.dir};
}
