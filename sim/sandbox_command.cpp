// The bubblewrap command of one start of the switch in the sandbox: a private root holding
// busybox's applets, the stubs, the program and the board, and the environment inside.
#include "sandbox_command.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Where the pieces sit inside the sandbox.
constexpr const char* PROGRAM_INSIDE = "/sbin/bootmanager";
constexpr const char* LAUNCHER_INSIDE = "/usr/lib/bmsim/bmsim-launch";
constexpr const char* DEVICES_INSIDE = "/usr/lib/bmsim/libbmsim_devices.so";
constexpr const char* RX_INSIDE = "/usr/lib/bmsim/rx";
constexpr const char* CTL_INSIDE = "/usr/lib/bmsim/bmctl";
constexpr const char* TTY_FLUSH_INSIDE = "/usr/lib/bmsim/libbmsim_tty_flush.so";
constexpr const char* HOST_BUSYBOX = "/bin/busybox";
constexpr const char* HOST_RX = "/usr/bin/rx";

// The busybox applets that imitate the switch's root file system, by folder.
const std::vector<std::pair<const char*, std::vector<const char*>>> BUSYBOX_APPLETS = {
    {"/bin", {"ash",  "cat",  "chmod", "cp",   "date",  "dd",    "df",    "echo", "false", "grep", "gunzip",
              "gzip", "kill", "ln",    "ls",   "mkdir", "mknod", "mv",    "ps",   "pwd",   "rm",   "rmdir",
              "sed",  "sh",   "sleep", "stty", "sync",  "tar",   "touch", "true", "uname", "zcat"}},
    {"/usr/bin", {"[",    "awk",  "basename", "cmp", "cut",    "dirname", "du",     "env",  "expr",
                  "find", "head", "hexdump",  "id",  "md5sum", "od",      "printf", "sort", "stat",
                  "tail", "tee",  "test",     "tr",  "uniq",   "wc",      "which",  "xargs"}},
};

using Args = std::vector<std::string>;

void add(Args& args, std::initializer_list<std::string> words) { args.insert(args.end(), words); }

// Its own process, host, network and IPC name spaces, with bmsim-launch as its init; no
// capabilities, so that nothing inside can mount, reboot or reach the host even as root.
void add_isolation(Args& args) {
    add(args, {"--unshare-pid", "--unshare-ipc", "--unshare-net", "--unshare-uts", "--hostname", "switch", "--as-pid-1",
               "--die-with-parent", "--cap-drop", "ALL"});
}

// The host's shared libraries, read-only: the program, the emulator and the receiver are
// dynamically linked.
void add_host_libraries(Args& args) {
    const std::string arch = BMSIM_LIBRARY_ARCH;
    for (const char* top : {"/lib", "/lib64"}) {
        std::string usr = std::string("/usr") + top;
        if (fs::is_symlink(top)) {
            if (fs::exists(usr)) add(args, {"--symlink", usr.substr(1), top});
        } else if (fs::exists(top)) {
            add(args, {"--ro-bind", top, top});
        }
    }
    std::string multiarch = "/usr/lib/" + arch;
    if (fs::exists(multiarch)) add(args, {"--ro-bind", multiarch, multiarch});
    if (fs::exists("/usr/lib64")) add(args, {"--ro-bind", "/usr/lib64", "/usr/lib64"});
    add(args, {"--ro-bind-try", "/etc/ld.so.cache", "/etc/ld.so.cache"});
}

void add_busybox(Args& args) {
    add(args, {"--ro-bind", HOST_BUSYBOX, "/bin/busybox"});
    for (const auto& [folder, applets] : BUSYBOX_APPLETS)
        for (const char* applet : applets) add(args, {"--symlink", "/bin/busybox", std::string(folder) + "/" + applet});
}

// Every file under the stub folder lands at the same path inside.
void add_stubs(Args& args, const std::string& rootfs) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(rootfs))
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), rootfs).string());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) add(args, {"--ro-bind", rootfs + "/" + file, "/" + file});
    if (fs::exists(HOST_RX)) add(args, {"--ro-bind", HOST_RX, RX_INSIDE});
}

void add_program(Args& args, const SandboxPaths& paths) {
    add(args, {"--ro-bind", paths.program, PROGRAM_INSIDE, "--ro-bind", paths.launcher, LAUNCHER_INSIDE});
    if (!paths.tty_flush_lib.empty() && fs::exists(paths.tty_flush_lib))
        add(args, {"--ro-bind", paths.tty_flush_lib, TTY_FLUSH_INSIDE});
    if (!paths.devices_lib.empty()) add(args, {"--ro-bind", paths.devices_lib, DEVICES_INSIDE});
    if (!paths.ctl.empty() && fs::exists(paths.ctl)) add(args, {"--ro-bind", paths.ctl, CTL_INSIDE});
}

void add_board(Args& args, const BootRun& run, bool usb_inserted) {
    add(args, {"--bind", run.board, "/sim", "--bind", run.board + "/user", "/user"});
    add(args, {"--ro-bind-try", run.board + "/keys", "/etc/bootmanager/keys"});
    if (usb_inserted)
        add(args, {"--bind", run.board + "/usb", "/mnt/usb"});
    else
        add(args, {"--dir", "/mnt/usb"});
}

}  // namespace

std::string format_number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

namespace {

// DIR/memory-size (bytes): the memory the program may take, so that a large allocation can fail.
// The sanitizer runtime reserves more address space than any such limit, so a sanitizer build
// has its allocator refuse what is larger instead.
unsigned long long memory_size(const std::string& board) {
    std::ifstream size_file(board + "/memory-size");
    unsigned long long size = 0;
    return size_file >> size ? size : 0;
}

void add_environment(Args& args, const BootRun& run) {
    add(args,
        {"--clearenv", "--setenv", "PATH", "/bin:/sbin:/usr/bin:/usr/sbin", "--setenv", "HOME", "/", "--setenv", "TERM",
         "vt102", "--setenv", "BMSIM_BOARD", "/sim", "--setenv", "BMSIM_TIME_SCALE", format_number(run.time_scale)});
    if (!BMSIM_SANITIZER_BUILD) return;
    // A sanitizer build: the preloaded emulator comes before the sanitizer runtime, and the leak
    // check cannot stop the world inside the sandbox's process name space.
    std::string asan_options = "verify_asan_link_order=0:detect_leaks=0";
    if (unsigned long long size = memory_size(run.board); size > 0)
        asan_options += ":allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(size >> 20);
    add(args, {"--setenv", "ASAN_OPTIONS", asan_options, "--setenv", "UBSAN_OPTIONS", "print_stacktrace=1"});
}

// The switch's /tmp is a RAM file system; DIR/tmp-size (bytes) makes it that small, so that a
// write to it can run out of room.
void add_tmp(Args& args, const std::string& board) {
    std::ifstream size_file(board + "/tmp-size");
    unsigned long long size = 0;
    if (size_file >> size) add(args, {"--size", std::to_string(size)});
    add(args, {"--tmpfs", "/tmp"});
}

}  // namespace

Args sandbox_command(const BootRun& run, const std::string& console, bool usb_inserted, double usb_ready_after) {
    Args args = {"bwrap"};
    add_isolation(args);
    add(args, {"--tmpfs", "/", "--dev", "/dev", "--dev-bind", console, "/dev/ttyS0", "--proc", "/proc"});
    add_tmp(args, run.board);
    add(args, {"--dir", "/bin", "--dir", "/sbin", "--dir", "/usr/bin", "--dir", "/usr/sbin", "--dir", "/etc"});
    add_host_libraries(args);
    add_busybox(args);
    add_stubs(args, run.paths.rootfs);
    add_program(args, run.paths);
    add_board(args, run, usb_inserted);
    add_environment(args, run);
    add(args, {"--chdir", "/", LAUNCHER_INSIDE});
    if (usb_inserted) add(args, {"--usb-ready-after", format_number(usb_ready_after)});
    if (!run.paths.devices_lib.empty()) add(args, {"--preload", DEVICES_INSIDE});
    if (unsigned long long size = memory_size(run.board); size > 0 && !BMSIM_SANITIZER_BUILD)
        add(args, {"--memory-size", std::to_string(size)});
    args.push_back(PROGRAM_INSIDE);
    return args;
}
