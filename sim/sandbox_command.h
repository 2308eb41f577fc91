// The bubblewrap command of one start of the switch in the sandbox.
#pragma once
#include <string>
#include <vector>

#include "sandbox.h"

// The command line of bwrap for one start: the console's pseudo-terminal becomes the switch's
// /dev/ttyS0, the stick is bound in when it is inserted, with its readiness delay.
std::vector<std::string> sandbox_command(const BootRun& run, const std::string& console, bool usb_inserted,
                                         double usb_ready_after);

// A number as bmsim writes it, on the sandbox's command line and in its messages: "0.1", "5".
std::string format_number(double value);
