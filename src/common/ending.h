// What is left to do when an operation returns. Operations never end the process themselves:
// they name the ending, and the boot sequence carries it out (boot/endings.h).
#pragma once

enum Ending {
    GO_ON = 0,                // nothing ends: the caller goes on
    END_REBOOT,               // reboot the switch
    END_SHELL_REBOOT,         // the shell when the options ask for it, then reboot
    END_RESCUE_SHELL_REBOOT,  // the rescue menu, then as END_SHELL_REBOOT
    END_START_APPLICATION,    // "/tmp/vemoximage.tar.gz" is ready: start the application
    END_START_DIAGNOSTICS,    // the same, with the diagnostics program
};
