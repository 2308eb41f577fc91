// The USB stick: the wait for its readiness marker, the boot package and slot replacements
// taken at start-up, and the file chooser of rescue mode. The stick is mounted outside the
// program at "/mnt/usb"; "/tmp/usb" appears once its files can be read.
#include "rescue/usb_media.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "common/files.h"
#include "console/console_input.h"
#include "install/installer.h"
#include "store/rejected.h"

uint8_t usb_boot_enabled = 0;

namespace {

constexpr int USB_MOUNT_TRIES = 10;
constexpr int USB_ANSWER_SIZE = 128;

struct UsbReplacement {
    BootSlot slot;
    const char* path;
    const char* name;
    const char* found_message;
    const char* replaced_message;
};

// Slot 2 first, so that slot 1, handled last, wins when both are replaced.
constexpr UsbReplacement usb_replacements[] = {
    {BOOT_SLOT_2, "/mnt/usb/NXR4417_replace2_OS.img", "NXR4417_replace2_OS.img",
     "USB image (file '%s') replacement for image2 found\n", "Image2 has been successfully replaced"},
    {BOOT_SLOT_1, "/mnt/usb/NXR4417_replace1_OS.img", "NXR4417_replace1_OS.img",
     "USB image (file '%s') replacement for image1 found\n", "Image1 has been successfully replaced"},
};

// False when the operator declines a replacement that is in the rejected list.
bool replacement_accepted(const UsbReplacement& replacement) {
    if (!is_rejected(replacement.path)) return true;
    if (!ask_yes_no("Replacement USB image is in rejected list.\nWould you still like to load it? ")) return false;
    puts("Continuing with replacement USB image...");
    return true;
}

// The chooser examines entries by their bare names inside "/mnt/usb"; nullptr when it cannot
// go there.
DIR* enter_usb_directory(const char* failure_message) {
    DIR* dir = opendir("/mnt/usb");
    if (dir != nullptr && chdir("/mnt/usb") != 0) {
        closedir(dir);
        dir = nullptr;
    }
    if (dir == nullptr) puts(failure_message);
    return dir;
}

void leave_usb_directory(DIR* dir) {
    // Nothing else to go to on a failure; the next relative path would simply not be found.
    [[maybe_unused]] int left = chdir("/tmp");
    closedir(dir);
}

// Reads answers until one is usable. False when the operator quits or the console gives no
// more lines: an interrupt, or the end of input, after which reading again would never end.
bool read_chosen_number(int* number) {
    char line[USB_ANSWER_SIZE];
    for (;;) {
        if (read_line(line, sizeof line) == nullptr) {
            if (break_requested || console_input.ended) return false;
            continue;
        }
        switch (parse_usb_menu_answer(line, number)) {
            case USB_ANSWER_QUIT: return false;
            case USB_ANSWER_NUMBER: return true;
            case USB_ANSWER_INVALID: printf("Invalid file number %s. Try again pleas\n", line); break;
        }
    }
}

// Fills path with "/mnt/usb/" and the name of the chosen entry; false when there is none.
bool chosen_entry_path(int number, char* path, size_t size) {
    DIR* dir = enter_usb_directory("Unable to re-open USB directory. Quitting");
    if (dir == nullptr) return false;
    const char* name = find_usb_entry(dir, number);
    if (name != nullptr) {
        printf("Installing %s\n", name);
        snprintf(path, size, "%s%c%s", "/mnt/usb", '/', name);
    }
    leave_usb_directory(dir);
    return name != nullptr;
}

}  // namespace

UsbMenuAnswer parse_usb_menu_answer(const char* line, int* number) {
    if (line[0] == 'q' || line[0] == 'Q') return USB_ANSWER_QUIT;
    if (sscanf(line, "%d", number) == 1) return USB_ANSWER_NUMBER;
    return USB_ANSWER_INVALID;
}

bool usb_entry_offered(const char* name) {
    // An entry whose status cannot be read is left out: it could be a directory.
    struct stat status;
    return lstat(name, &status) == 0 && !S_ISDIR(status.st_mode);
}

int list_usb_entries(DIR* dir) {
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (usb_entry_offered(entry->d_name)) printf("\t%d: %s\n", ++count, entry->d_name);
    }
    return count;
}

const char* find_usb_entry(DIR* dir, int number) {
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (usb_entry_offered(entry->d_name) && ++count == number) return entry->d_name;
    }
    return nullptr;
}

int mount_usb() {
    if (!usb_boot_enabled) return 0;
    printf("Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n", USB_MOUNT_TRIES);
    fflush(stdout);
    sleep(1);
    for (int attempt = 0; attempt < USB_MOUNT_TRIES; ++attempt) {
        if (path_exists("/tmp/usb")) {
            puts("USB mounted and ready!");
            return 0;
        }
        putchar('.');
        fflush(stdout);
        sleep(1);
    }
    puts("USB mount timed out");
    return -1;
}

Ending check_usb_boot_image() {
    if (!path_exists("/mnt/usb/NXR4417_Boot.img")) {
        puts("No boot image found on USB.");
        return GO_ON;
    }
    puts("Boot image found on USB.");
    switch (install_package("/mnt/usb/NXR4417_Boot.img", 1, 0)) {
        case INSTALL_DONE: return END_REBOOT;
        case INSTALL_BOOT_DOWNLOAD: return END_START_APPLICATION;
        case INSTALL_NOTHING: break;
    }
    return GO_ON;
}

BootSource check_usb_replacements() {
    BootSource result = NO_BOOT_SOURCE;
    for (const UsbReplacement& replacement : usb_replacements) {
        if (!path_exists(replacement.path)) continue;
        printf(replacement.found_message, replacement.name);
        if (!replacement_accepted(replacement)) return NO_BOOT_SOURCE;
        if (install_package(replacement.path, 1, replacement.slot) == INSTALL_DONE) {
            puts(replacement.replaced_message);
            result = replacement.slot;
        }
    }
    if (result != NO_BOOT_SOURCE) {
        printf("USB replacement image: board will boot with image%d.\n", result);
        return result;
    }
    if (path_exists("/mnt/usb/NXR4417_OS.img")) return BOOT_USB_STICK;
    puts("No valid image found on USB");
    return NO_BOOT_SOURCE;
}

Ending usb_install_menu() {
    DIR* dir = enter_usb_directory("Unable to open USB directory. Quitting");
    if (dir == nullptr) return GO_ON;
    list_usb_entries(dir);
    printf("Choose file number to install (q to quit): ");
    fflush(stdout);
    int number = 0;
    bool chosen = read_chosen_number(&number);
    leave_usb_directory(dir);
    if (!chosen || number <= 0) return GO_ON;

    char path[sizeof("/mnt/usb/") + NAME_MAX];
    if (!chosen_entry_path(number, path, sizeof path)) return GO_ON;
    return install_package(path, 0, 0) == INSTALL_BOOT_DOWNLOAD ? END_START_APPLICATION : GO_ON;
}
