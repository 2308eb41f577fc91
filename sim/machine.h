// The board booted as a virtual machine of the switch: a real kernel's MTD, I2C and serial
// drivers under the unchanged target program (sim/machine/, scripts/build-initramfs.sh).
#pragma once
#include <string>
#include <vector>

#include "sandbox.h"

// The machine's pieces: vmlinux and initramfs.cpio.gz in paths.machine_dir, and the script that
// runs one start. Reports what is missing and returns false.
bool locate_machine(SandboxPaths* paths);

// The command of one start of the board as a virtual machine, run with the console as its
// standard input and output.
std::vector<std::string> machine_command(const BootRun& run);
