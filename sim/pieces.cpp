// Where an installed bmsim finds the pieces of the simulated switch: they are installed under
// the same file names as in the build tree, in one folder at a fixed place relative to bmsim.
#include "pieces.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The folder of installed pieces, or "" when bmsim runs from the build tree.
std::string installed_pieces() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return "";
    fs::path pieces = (self.parent_path() / BMSIM_INSTALLED_PIECES).lexically_normal();
    return fs::is_directory(pieces, error) ? pieces.string() : "";
}

}  // namespace

std::string installed_or_built(const std::string& built_in) {
    static const std::string pieces = installed_pieces();
    if (pieces.empty()) return built_in;
    return (fs::path(pieces) / fs::path(built_in).filename()).string();
}

std::string piece_path(const char* variable, const char* built_in) {
    const char* value = std::getenv(variable);
    return value ? value : installed_or_built(built_in);
}
