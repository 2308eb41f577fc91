// The simulated switch: the real program in a private root made with bubblewrap, whose console
// is a pseudo-terminal relayed to bmsim's own terminal or standard streams.
#pragma once
#include <string>
#include <vector>

#include "console.h"

// Where the pieces of the simulated switch come from on the host.
struct SandboxPaths {
    std::string program;      // the bootmanager program
    std::string ctl;          // bmctl, run through the stub /sbin/bmctl; none when missing
    std::string devices_lib;  // the device emulator preloaded into it; empty: none
    // The XMODEM receiver's output flush (tty_flush.cpp). The receiver is a host program even when
    // the program is built for the switch, so this library is always the host build's.
    std::string tty_flush_lib;
    std::string launcher;  // bmsim-launch, the first process inside
    std::string rootfs;    // the stub programs of the switch's root file system
};

struct BootRun {
    std::string board;                // absolute path of the board directory
    double timeout = -1;              // real seconds for the whole run; negative: none
    int power_cycles = 1;             // starts allowed: each reboot of the switch starts it again
    bool power_cycles_given = false;  // a reboot that ends the last of them is a status of its own
    double time_scale = 1;            // the program's own sleeps and polls are scaled by this
    std::string machine;              // empty: the sandbox; "qemu": a virtual machine of the switch
    int escape_key = 0x1D;            // bmsim's own key on a terminal (Ctrl-]); -1: none
    // Each start runs this command (machine/machine.h) instead of the sandbox's, when not empty.
    std::vector<std::string> machine_command;
    SandboxPaths paths;
    bool scripted = false;  // the console follows the script's steps instead of the keys
    std::vector<ScriptStep> script;
    std::string script_name;
};

// bmsim's exit status for a run that reached its time-out, and for one that could not start.
constexpr int BOOT_TIMED_OUT = 124;
// ... and for one whose script failed at a step.
constexpr int BOOT_SCRIPT_FAILED = 3;
constexpr int BOOT_NOT_STARTED = 125;
// ... and for one whose last start of --power-cycles N ended in a reboot or a power cut.
constexpr int BOOT_STARTS_USED_UP = 4;

// Boots the board up to run.power_cycles times, relaying the console, and appends a start line
// and an end line per start to the board log. Returns the last start's exit status, or one of
// the codes above.
int boot_board(const BootRun& run);

// The stick's state: DIR/usb holds its files; DIR/usb.inserted exists while it is inserted and
// holds the seconds, on the board's clock, until it is ready.
std::string usb_state_path(const std::string& board);
bool usb_stick_inserted(const std::string& board, double* ready_after);
