// The six MTD partitions, answered as the kernel's MTD character device answers on NOR flash,
// from the backing files mtd/<name>.bin (the partition's size is the file's) and the optional
// mtd/<name>.erasesize.
#include "emulator.h"

#include <errno.h>
#include <mtd/mtd-user.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace sim_devices {

namespace {

constexpr uint32_t DEFAULT_ERASE_SIZE = 65536;
const char* const mtd_op_names[MTD_OP_COUNT] = {"getinfo", "erase", "read", "write"};

uint64_t partition_size(const Tracked& t) {
    struct stat64 st;
    return fstat64(t.fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint32_t erase_size(const Tracked& t) {
    char relative[64];
    char path[PATH_MAX + 64];
    snprintf(relative, sizeof relative, "mtd/%s.erasesize", partition_names[t.index]);
    board_path(path, sizeof path, relative);
    char text[32];
    size_t length = read_whole_file(path, text, sizeof text - 1);
    if (length == 0) return DEFAULT_ERASE_SIZE;
    text[length] = '\0';
    return static_cast<uint32_t>(strtoul(text, nullptr, 0));
}

// Counts the request and tells whether the faults file fails it.
bool mtd_fault(const Tracked& t, MtdOp op) {
    unsigned count = ++emulator.mtd_requests[t.index][op];
    return fault_listed("fail", partition_names[t.index], mtd_op_names[op], count);
}

// Whether the faults file cuts the read just counted short ("short PART read [K]"); it counts
// the same reads as "fail PART read".
bool mtd_short_read(const Tracked& t) {
    return fault_listed("short", partition_names[t.index], "read", emulator.mtd_requests[t.index][MTD_OP_READ]);
}

int mtd_getinfo(const Tracked& t, void* arg) {
    char request[96];
    describe_request(t, request, sizeof request, "getinfo");
    if (mtd_fault(t, MTD_OP_GETINFO)) return fail_request(EIO, true, request);
    if (!arg) return fail_request(EFAULT, false, request);
    uint64_t size = partition_size(t);
    mtd_info_user user{};
    user.type = MTD_NORFLASH;
    user.flags = MTD_CAP_NORFLASH;
    user.size = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    user.erasesize = erase_size(t);
    user.writesize = 1;
    user.oobsize = 0;
    memcpy(arg, &user, sizeof user);
    log_line("%s size %u erasesize %u", request, user.size, user.erasesize);
    return 0;
}

bool fill_bytes(int fd, uint64_t offset, uint64_t length, uint8_t value) {
    uint8_t chunk[4096];
    memset(chunk, value, sizeof chunk);
    while (length > 0) {
        size_t n = length < sizeof chunk ? length : sizeof chunk;
        if (REAL(pwrite64)(fd, chunk, n, offset) != static_cast<ssize_t>(n)) return false;
        offset += n;
        length -= n;
    }
    return true;
}

// MEMERASE with the kernel's checks: the range must lie inside the partition and, unless
// empty, start and end on erase-block boundaries.
int mtd_erase_request(const Tracked& t, const void* arg) {
    char request[96];
    if (!arg) {
        describe_request(t, request, sizeof request, "erase");
        return fail_request(EFAULT, false, request);
    }
    erase_info_user erase;
    memcpy(&erase, arg, sizeof erase);
    describe_request(t, request, sizeof request, "erase %u %u", erase.start, erase.length);
    bool injected = mtd_fault(t, MTD_OP_ERASE);
    if (t.access == O_RDONLY) return fail_request(EPERM, false, request);
    if (injected) return fail_request(EIO, true, request);
    uint64_t size = partition_size(t);
    uint32_t block = erase_size(t);
    if (block == 0) return fail_request(EOPNOTSUPP, false, request);
    if (erase.start >= size || erase.length > size - erase.start) return fail_request(EINVAL, false, request);
    if (erase.length == 0) {
        log_line("%s", request);
        return 0;
    }
    if (erase.start % block != 0 || erase.length % block != 0) return fail_request(EINVAL, false, request);
    if (!fill_bytes(t.fd, erase.start, erase.length, 0xFF)) return fail_request(EIO, false, request);
    log_line("%s", request);
    return 0;
}

// What a read and a write check first, in the kernel's order: the request is counted against the
// faults, then a descriptor without the access is refused, then a negative offset, then the
// injected failure. Returns 0 to go on, or the failed request's -1.
int transfer_refused(const Tracked& t, MtdOp op, int64_t offset, const char* request) {
    bool injected = mtd_fault(t, op);
    if (t.access == (op == MTD_OP_READ ? O_WRONLY : O_RDONLY)) return fail_request(EBADF, false, request);
    if (offset < 0) return fail_request(EINVAL, false, request);
    if (injected) return fail_request(EIO, true, request);
    return 0;
}

// A read as the MTD character device answers it: past the end there is nothing (0 bytes), a
// read that runs over the end is cut short (as the backing file's own read is). An injected short
// read gives at most half of the count; the rest of the buffer is left as it was.
ssize_t mtd_read_at(const Tracked& t, void* buffer, size_t count, int64_t offset, const char* verb) {
    char request[128];
    describe_request(t, request, sizeof request, "%s %lld %zu", verb, static_cast<long long>(offset), count);
    if (transfer_refused(t, MTD_OP_READ, offset, request) != 0) return -1;
    bool short_read = count > 0 && mtd_short_read(t);
    size_t n = short_read ? count / 2 : count;
    ssize_t got = n == 0 ? 0 : REAL(pread64)(t.fd, buffer, n, offset);
    if (got < 0) return fail_request(errno, false, request);
    log_transfer(request, count, got, short_read);
    return got;
}

// Programs NOR flash: a write can only clear bits, so each stored byte becomes old AND new. The
// backing file's end is the partition's: what lies beyond it is not written. Returns the bytes
// programmed, or -1.
ssize_t program_nor(int fd, const uint8_t* data, size_t count, int64_t offset) {
    uint8_t chunk[4096];
    size_t done = 0;
    while (done < count) {
        size_t n = count - done < sizeof chunk ? count - done : sizeof chunk;
        ssize_t old = REAL(pread64)(fd, chunk, n, offset + done);
        if (old < 0) return -1;
        for (ssize_t i = 0; i < old; ++i) chunk[i] &= data[done + i];
        if (old > 0 && REAL(pwrite64)(fd, chunk, old, offset + done) != old) return -1;
        done += old;
        if (static_cast<size_t>(old) < n) break;
    }
    return static_cast<ssize_t>(done);
}

// A write as the MTD character device answers it: from the end on, ENOSPC; a write that runs
// over the end is cut short.
ssize_t mtd_write_at(const Tracked& t, const void* buffer, size_t count, int64_t offset, const char* verb) {
    char request[128];
    describe_request(t, request, sizeof request, "%s %lld %zu", verb, static_cast<long long>(offset), count);
    if (transfer_refused(t, MTD_OP_WRITE, offset, request) != 0) return -1;
    ssize_t done = count == 0 ? 0 : program_nor(t.fd, static_cast<const uint8_t*>(buffer), count, offset);
    if (done < 0) return fail_request(EIO, false, request);
    if (done == 0 && static_cast<uint64_t>(offset) >= partition_size(t)) return fail_request(ENOSPC, false, request);
    log_transfer(request, count, done);
    return done;
}

}  // namespace

// read() and write() on a partition work at the descriptor's file position.
ssize_t mtd_read_here(const Tracked& t, void* buffer, size_t count) {
    int64_t position = REAL(lseek64)(t.fd, 0, SEEK_CUR);
    ssize_t got = mtd_read_at(t, buffer, count, position, "read");
    if (got > 0) REAL(lseek64)(t.fd, position + got, SEEK_SET);
    return got;
}

ssize_t mtd_write_here(const Tracked& t, const void* buffer, size_t count) {
    int64_t position = REAL(lseek64)(t.fd, 0, SEEK_CUR);
    ssize_t done = mtd_write_at(t, buffer, count, position, "write");
    if (done > 0) REAL(lseek64)(t.fd, position + done, SEEK_SET);
    return done;
}

ssize_t positioned_read(const Tracked& t, void* buffer, size_t count, int64_t offset) {
    if (t.kind == KIND_I2C) {
        errno = ESPIPE;
        return -1;
    }
    return mtd_read_at(t, buffer, count, offset, "pread");
}

ssize_t positioned_write(const Tracked& t, const void* buffer, size_t count, int64_t offset) {
    if (t.kind == KIND_I2C) {
        errno = ESPIPE;
        return -1;
    }
    return mtd_write_at(t, buffer, count, offset, "pwrite");
}

int mtd_ioctl(const Tracked& t, unsigned request, void* arg) {
    if (request == static_cast<unsigned>(MEMGETINFO)) return mtd_getinfo(t, arg);
    if (request == static_cast<unsigned>(MEMERASE)) return mtd_erase_request(t, arg);
    char text[96];
    describe_request(t, text, sizeof text, "ioctl 0x%x", request);
    return fail_request(ENOTTY, false, text);
}

}  // namespace sim_devices
