// Where an installed bmsim finds the pieces of the simulated switch.
#pragma once
#include <string>

// The piece installed beside bmsim (in BMSIM_INSTALLED_PIECES, relative to bmsim's own folder)
// under the file name of the build tree's piece, when bmsim runs from an installation; the
// build tree's piece itself otherwise.
std::string installed_or_built(const std::string& built_in);

// A piece's path: the environment variable's value when it is set, else the piece above.
std::string piece_path(const char* variable, const char* built_in);
