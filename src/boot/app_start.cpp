// Unpacking "/tmp/vemoximage.tar.gz" and handing the process over to the application, or
// running it under a debugger, debug server or memory checker and rebooting when it ends.
#include "boot/app_start.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/endings.h"
#include "common/files.h"
#include "common/shell.h"
#include "console/console_input.h"
#include "hw/eeprom.h"
#include "options/boot_options.h"
#include "rescue/rescue_menu.h"

char command_buffer[COMMAND_BUFFER_SIZE];

namespace {

void unpack_application() {
    snprintf(command_buffer, COMMAND_BUFFER_SIZE, "cd /tmp \ntar mxzf %s \nrm %s\n", "/tmp/vemoximage.tar.gz",
             "/tmp/vemoximage.tar.gz");
    if (flush_then_shell(command_buffer) < 0) {
        fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_system();
    }
}

// A tree without distro-id was probably built for another product: offer the rescue menu. An
// action there that ends the process (a reboot, another image started) is carried out at once;
// leaving the menu goes on with this start.
void check_application_tree() {
    if (path_exists("/tmp/home/bin/distro-id")) return;
    puts("WARNING: Suspected incompatible application image detected during unpacking");
    printf("Would you like to enter recovery mode to download a new image? y/N: ");
    fflush(stdout);
    uint8_t key = get_raw_char();
    if (key == 'y' || key == 'Y') carry_out(rescue_menu());
}

void install_diags_program() {
    puts("install diags image");
    shell_step("mkdir -p /tmp/home/bin");
    shell_step("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
}

// The image's install script, and its environment file, which is read only beside the script.
void run_install_script() {
    if (!path_exists("/tmp/home/bin/install.sh")) return;
    puts("Running install script");
    shell_step("/tmp/home/bin/install.sh");
    if (!path_exists("/tmp/home/bin/env-setup")) return;
    FILE* file = fopen("/tmp/home/bin/env-setup", "r");
    if (!file) return;
    apply_env_setup(file);
    fclose(file);
}

void drop_into_shell() {
    puts("Dropping into shell");
    snprintf(command_buffer, COMMAND_BUFFER_SIZE, "/bin/sh\n");
    shell_step(command_buffer);
    puts("Dropping out of shell");
}

// Launches that BootManager waits for: when they end there is nothing left but a reboot.
[[noreturn]] void run_then_reboot(const char* command) {
    shell_step(command);
    reboot_system();
}

// The normal launch: the launcher takes over this process and its environment.
[[noreturn]] void launch_application() {
    fflush(stdout);
    fflush(stderr);
    restore_keyboard_signals();
    execlp("/bin/backtrace", "/bin/backtrace", nullptr);
    ignore_keyboard_signals();
    fputs("Failed to start Application OS.\n", stderr);
    reboot_system();
}

[[noreturn]] void launch() {
    if (boot_options.gdbserver && boot_options.memchk) {
        snprintf(command_buffer, COMMAND_BUFFER_SIZE,
                 "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                 int(boot_options.gdbport));
        run_then_reboot(command_buffer);
    }
    if (boot_options.gdbserver) {
        snprintf(command_buffer, COMMAND_BUFFER_SIZE, "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                 int(boot_options.gdbport));
        run_then_reboot(command_buffer);
    }
    if (boot_options.gdb) {
        if (path_exists("/tmp/gdb")) {
            puts("*** Launching under GDB ***");
            run_then_reboot("/tmp/gdb /tmp/home/bin/mp.elf.strip");
        }
        puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        launch_application();
    }
    if (boot_options.memchk) {
        snprintf(command_buffer, COMMAND_BUFFER_SIZE, "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
        run_then_reboot(command_buffer);
    }
    launch_application();
}

}  // namespace

// Words are read two at a time, each cut at 511 characters; a lone last word is a name with an
// empty value.
void apply_env_setup(FILE* file) {
    char name[512] = "";
    char value[512] = "";
    while (fscanf(file, "%511s %511s", name, value) >= 1) {
        setenv(name, value, 1);
        name[0] = '\0';
        value[0] = '\0';
    }
}

void start_application(bool diags) {
    sleep(1);
    unpack_application();
    check_application_tree();
    i2c_close_buses();
    if (diags) install_diags_program();
    run_install_script();
    if (boot_options.shell) drop_into_shell();
    launch();
}
