// The rescue menu on the console, and the user file-system erase before the diagnostics boot.
#include "rescue/rescue_menu.h"

#include <unistd.h>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/shell.h"
#include "console/console_input.h"
#include "install/versions.h"
#include "rescue/serial_download.h"
#include "rescue/usb_media.h"
#include "store/rescue_image.h"

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
            if (console_input.ended) {
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

// The step's message, then the step. The steps always run to the end: a failed one is followed
// by the next all the same.
void run_shell_step(const char* message, const char* command) {
    puts(message);
    shell_step(command);
}

void erase_and_recreate_user() {
    run_shell_step("unmount filesystem", "/bin/umount /user &> /dev/null");
    run_shell_step("\nErasing filesystem for clean install", "flash_eraseall /dev/mtd-user-char");
    run_shell_step("Mounting...", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
    run_shell_step("creating default filesystem", "mkdir /user/images &> /dev/null");
}

// The chosen action; an action that ends the process (a reboot, a started image) leaves the menu.
Ending run_option(int letter) {
    switch (letter) {
        case 'X': return xmodem_rescue();
        case 'R': sleep(1); return END_REBOOT;
        case 'D': return erase_user_filesystem();
        case 'U': return usb_install_menu();
        case 'V': print_installed_versions(); break;
    }
    return GO_ON;
}

}  // namespace

Ending rescue_menu() {
    puts("Entering Rescue Mode.");
    for (;;) {
        show_rescue_options();
        int letter = take_option();
        if (letter == 'E') return GO_ON;
        Ending ending = run_option(letter);
        if (ending != GO_ON) return ending;
        // an interrupt during the action must not swallow the next key
        break_requested = 0;
    }
}

Ending erase_user_filesystem() {
    printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    fflush(stdout);
    uint8_t key = get_raw_char();
    putchar('\n');
    if (key != 0 && toupper(key) == 'Y') erase_and_recreate_user();
    puts("Booting diags image...");
    fflush(stdout);
    return boot_rescue_partition();
}
