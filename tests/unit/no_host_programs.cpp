// No unit test may run a program of this machine: a fault that sent the code under test down
// the application start or a reboot would unpack, run scripts and reboot the workstation. In the
// unit test program system() and execlp() stop the test instead, loudly. (The real program runs
// them only inside the simulated board's sandbox, where the scenario tests exercise them.)
#include <cstdio>
#include <cstdlib>

extern "C" int system(const char* command) {
    std::fprintf(stderr, "a unit test reached system(\"%s\"): stopped\n", command ? command : "(null)");
    std::abort();
}

extern "C" int execlp(const char* file, const char*, ...) {
    std::fprintf(stderr, "a unit test reached execlp(\"%s\"): stopped\n", file ? file : "(null)");
    std::abort();
}
