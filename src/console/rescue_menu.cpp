// The rescue menu on the console, and the user file-system erase before the diagnostics boot.
#include "console/rescue_menu.h"

#include <unistd.h>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/boot_sequence.h"
#include "console/console_input.h"
#include "console/serial_download.h"
#include "console/usb_media.h"
#include "image/rescue_image.h"
#include "install/versions.h"

namespace {

// The letter that stands for leaving the menu when no operator can answer any more.
constexpr int LEAVE_LETTER = 'E';

void show_rescue_options() {
    puts("Please select one of the following options:");
    printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    printf("\t%c) Reboot\n", 'R');
    printf("\t%c) Exit\n", 'E');
}

// Prompts until a letter of the table comes; U, V and D are accepted although not shown.
int take_option() {
    for (;;) {
        printf("\nOption? : ");
        fflush(stdout);
        uint8_t key = get_raw_char();
        printf("%c\n", key);
        if (break_requested) {
            break_requested = 0;
            continue;
        }
        if (key == 0) {
            // At the end of console input every read gives 0 at once: prompting again would
            // never end, so the menu is left as with E.
            if (console_input_ended()) {
                puts("No console input: leaving rescue mode.");
                return LEAVE_LETTER;
            }
            continue;
        }
        int letter = toupper(key);
        if (strchr("XUVRDE", letter) == nullptr) {
            printf("unknown option \"%c\". Please try again\n", letter);
            continue;
        }
        return letter;
    }
}

void run_shell_step(const char* message, const char* command) {
    puts(message);
    fflush(stdout);
    // the steps always run to the end: a failed one is followed by the next all the same
    int status = system(command);
    (void)status;
}

void erase_and_recreate_user() {
    run_shell_step("unmount filesystem", "/bin/umount /user &> /dev/null");
    run_shell_step("\nErasing filesystem for clean install", "flash_eraseall /dev/mtd-user-char");
    run_shell_step("Mounting...", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
    run_shell_step("creating default filesystem", "mkdir /user/images &> /dev/null");
}

}  // namespace

int rescue_menu() {
    puts("Entering Rescue Mode.");
    for (;;) {
        show_rescue_options();
        switch (take_option()) {
        case 'X': xmodem_rescue(); break;
        case 'R':
            sleep(1);
            reboot_system();
        case 'E': return 1;
        case 'D': erase_user_filesystem(); break;
        case 'U': usb_install_menu(); break;
        case 'V': print_installed_versions(); break;
        }
        // an interrupt during the action must not swallow the next key
        break_requested = 0;
    }
}

int erase_user_filesystem() {
    printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    fflush(stdout);
    uint8_t key = get_raw_char();
    putchar('\n');
    if (key != 0 && toupper(key) == 'Y') erase_and_recreate_user();
    puts("Booting diags image...");
    fflush(stdout);
    boot_rescue_partition();
    return 1;
}
