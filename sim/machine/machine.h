// The board booted as a virtual machine of the switch: a real kernel's MTD, I2C and serial
// drivers under the unchanged target program (start.sh beside this file,
// scripts/build-initramfs.sh). It knows nothing of the sandbox: bmsim hands its command to the
// start loop, which runs it in place of the sandbox's.
#pragma once
#include <string>
#include <vector>

// The machine's pieces on the host.
struct MachinePieces {
    std::string dir;     // holds vmlinux and initramfs.cpio
    std::string script;  // start.sh, which runs one start
};

// Where the pieces are: BMSIM_MACHINE_DIR and BMSIM_MACHINE_SCRIPT when set, else beside an
// installed bmsim, else in the build tree.
MachinePieces machine_pieces();

// Makes the paths absolute; reports the first missing piece in one line that says how to make
// it, and returns false.
bool locate_machine(MachinePieces* pieces);

// The command of one start of the board as a virtual machine, run with the console as its
// standard input and output.
std::vector<std::string> machine_command(const std::string& board, const MachinePieces& pieces);
