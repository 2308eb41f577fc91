// The board's clock: every sleep and every poll with a time-out of the program is logged with
// the program's own duration, then waits that duration times BMSIM_TIME_SCALE.
#include "emulator.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>

namespace sim_devices {

double read_time_scale() {
    const char* text = getenv("BMSIM_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    double scale = strtod(text, &end);
    if (end == text || !(scale >= 0) || scale > 1e6) return 1.0;
    return scale;
}

namespace {

long double seconds_of(const timespec& t) { return t.tv_sec + t.tv_nsec / 1e9L; }

timespec timespec_of(long double seconds) {
    if (seconds <= 0) return timespec{0, 0};
    timespec t;
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - t.tv_sec) * 1e9L);
    if (t.tv_nsec > 999999999) t.tv_nsec = 999999999;
    return t;
}

timespec scaled(const timespec& t) { return timespec_of(seconds_of(t) * emulator.time_scale); }

// What is left of a scaled sleep, in the program's own time.
timespec unscaled(const timespec& t) {
    if (emulator.time_scale <= 0) return timespec{0, 0};
    return timespec_of(seconds_of(t) / emulator.time_scale);
}

bool valid_timespec(const timespec* t) { return t && t->tv_sec >= 0 && t->tv_nsec >= 0 && t->tv_nsec <= 999999999; }

}  // namespace

}  // namespace sim_devices

extern "C" {

unsigned int sleep(unsigned int seconds) {
    using namespace sim_devices;
    if (!emulator.attached) return REAL(sleep)(seconds);
    log_pause("sleep %u", seconds);
    timespec request = scaled(timespec{static_cast<time_t>(seconds), 0});
    timespec left{0, 0};
    if (REAL(nanosleep)(&request, &left) == 0) return 0;
    long double rest = seconds_of(unscaled(left));
    return static_cast<unsigned>(ceill(rest));
}

int usleep(useconds_t microseconds) {
    using namespace sim_devices;
    if (!emulator.attached) return REAL(usleep)(microseconds);
    log_pause("usleep %lu", static_cast<unsigned long>(microseconds));
    timespec request =
        timespec{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    request = scaled(request);
    return REAL(nanosleep)(&request, nullptr);
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
    using namespace sim_devices;
    if (!emulator.attached || !valid_timespec(request)) return REAL(nanosleep)(request, remaining);
    log_pause("nanosleep %lld.%09ld", static_cast<long long>(request->tv_sec), request->tv_nsec);
    timespec shorter = scaled(*request);
    timespec left{0, 0};
    int result = REAL(nanosleep)(&shorter, &left);
    if (result < 0 && errno == EINTR && remaining) *remaining = unscaled(left);
    return result;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request, struct timespec* remaining) {
    using namespace sim_devices;
    if (!emulator.attached || !valid_timespec(request)) return REAL(clock_nanosleep)(clock, flags, request, remaining);
    timespec relative = *request;
    if (flags & TIMER_ABSTIME) {
        timespec now;
        if (clock_gettime(clock, &now) != 0) return REAL(clock_nanosleep)(clock, flags, request, remaining);
        relative = timespec_of(seconds_of(*request) - seconds_of(now));
    }
    log_pause("clock_nanosleep %lld.%09ld", static_cast<long long>(relative.tv_sec), relative.tv_nsec);
    timespec shorter = scaled(relative);
    timespec left{0, 0};
    int result = REAL(clock_nanosleep)(clock, 0, &shorter, &left);
    if (result == EINTR && remaining && !(flags & TIMER_ABSTIME)) *remaining = unscaled(left);
    return result;
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    using namespace sim_devices;
    if (!emulator.attached || timeout <= 0) return REAL(poll)(fds, count, timeout);
    log_pause("poll %d", timeout);
    double shorter = nearbyint(timeout * emulator.time_scale);
    return REAL(poll)(fds, count, shorter > INT_MAX ? INT_MAX : static_cast<int>(shorter));
}

}  // extern "C"
