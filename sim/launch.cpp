// bmsim-launch: the init of the simulated switch, process 1 of the sandbox.
//
//   bmsim-launch [--usb-ready-after SECONDS] [--preload LIBRARY] [--memory-size BYTES] PROGRAM
//
// It starts the program in a process group of its own that holds the console, so that the
// interrupt key (Ctrl-C on the console) reaches the program and its shell commands but not the
// sandbox around them. When a stick is inserted it starts the USB agent, which stands for the
// system outside the program that mounts the stick and then creates the readiness marker
// "/tmp/usb"; its delay is on the board's clock (BMSIM_TIME_SCALE). As init it collects orphans,
// and it records the requests that busybox's reboot, halt and poweroff send to init: the switch's
// shell runs busybox's own reboot for the bare name "reboot". A program stopped by the stop key
// is continued. It ends with the program.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct LaunchOptions {
    double usb_ready_after = -1;  // negative: no stick
    std::string preload;
    unsigned long long memory_size = 0;  // the program's address-space limit; 0: none
    const char* program = nullptr;
};

volatile sig_atomic_t requested_signal = 0;

void on_request(int sig) { requested_signal = sig; }

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bmsim-launch: %s: %s\n", what, std::strerror(errno));
    _exit(127);
}

bool parse_options(int argc, char** argv, LaunchOptions* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--usb-ready-after" && i + 1 < argc) {
            options->usb_ready_after = std::atof(argv[++i]);
        } else if (arg == "--memory-size" && i + 1 < argc) {
            options->memory_size = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--preload" && i + 1 < argc) {
            options->preload = argv[++i];
        } else if (i == argc - 1 && arg[0] != '-') {
            options->program = argv[i];
        } else {
            return false;
        }
    }
    return options->program != nullptr;
}

double time_scale() {
    const char* text = std::getenv("BMSIM_TIME_SCALE");
    double scale = text ? std::atof(text) : 1.0;
    return scale >= 0 ? scale : 1.0;
}

void sleep_seconds(double seconds) {
    timespec left = {};
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

// busybox's reboot, halt and poweroff ask init with SIGTERM, SIGUSR1 and SIGUSR2.
void catch_init_requests() {
    struct sigaction action = {};
    action.sa_handler = on_request;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGUSR1, SIGUSR2}) sigaction(sig, &action, nullptr);
    for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGHUP, SIGTTIN, SIGTTOU}) signal(sig, SIG_IGN);
}

void append_log(const std::string& line) {
    const char* board = std::getenv("BMSIM_BOARD");
    std::string log = std::string(board ? board : "/sim") + "/log";
    if (FILE* file = std::fopen(log.c_str(), "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

void record_request() {
    int sig = requested_signal;
    if (sig == 0) return;
    requested_signal = 0;
    const char* what = sig == SIGTERM ? "reboot" : sig == SIGUSR1 ? "halt" : "poweroff";
    append_log(std::string("init: ") + what + " requested");
}

// The program starts as the switch's init would start it: default dispositions, nothing
// blocked, and the console's foreground process group its own.
[[noreturn]] void exec_program(const LaunchOptions& options) {
    if (setpgid(0, 0) != 0) fail("setpgid");
    if (isatty(STDIN_FILENO) && tcsetpgrp(STDIN_FILENO, getpgrp()) != 0) fail("tcsetpgrp");
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!options.preload.empty()) setenv("LD_PRELOAD", options.preload.c_str(), 1);
    if (options.memory_size > 0) {
        rlimit limit = {options.memory_size, options.memory_size};
        if (setrlimit(RLIMIT_AS, &limit) != 0) fail("setrlimit");
    }
    execl(options.program, options.program, static_cast<char*>(nullptr));
    fail(options.program);
}

pid_t start_program(const LaunchOptions& options) {
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) exec_program(options);
    setpgid(pid, pid);
    return pid;
}

// The agent stays out of the console's process group, so that the interrupt key meant for the
// program does not stop it.
void start_usb_agent(double ready_after) {
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid != 0) return;
    setpgid(0, 0);
    sleep_seconds(ready_after * time_scale());
    int fd = open("/tmp/usb", O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) close(fd);
    _exit(0);
}

// The sandbox can only pass on an exit status; the log tells a signal apart from an exit.
int exit_status_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    append_log("init: program killed by signal " + std::to_string(WTERMSIG(status)));
    return 128 + WTERMSIG(status);
}

// Collects every child until the program ends; the sandbox ends with init. Nothing on the
// switch could continue its program once a stop key (Ctrl-Z) on the console had stopped it, so
// its process group is continued at once, as if the key's signal had been discarded.
int wait_for_program(pid_t program) {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WUNTRACED);
        record_request();
        if (pid == program && WIFSTOPPED(status)) {
            kill(-program, SIGCONT);
            continue;
        }
        if (pid == program) return exit_status_of(status);
        if (pid < 0 && errno == ECHILD) return 127;
    }
}

}  // namespace

int main(int argc, char** argv) {
    LaunchOptions options;
    if (!parse_options(argc, argv, &options)) {
        std::fputs(
            "usage: bmsim-launch [--usb-ready-after SECONDS] [--preload LIBRARY] [--memory-size BYTES] PROGRAM\n",
            stderr);
        return 2;
    }
    catch_init_requests();
    pid_t program = start_program(options);
    if (options.usb_ready_after >= 0) start_usb_agent(options.usb_ready_after);
    return wait_for_program(program);
}
