// The two I2C buses, answered as i2c-dev answers: the 64 KiB EEPROM at 0x54 on bus 0 and the
// 256 registers of the device at 0x20 on bus 1, each kept in a file of the board directory.
#include "devices.h"
#include "emulator.h"

#include <errno.h>
#include <string.h>

namespace sim_devices {

namespace {

struct I2cDevice {
    int bus;
    unsigned address;  // 7-bit
    const char* file;  // in the board directory
    uint32_t size;
    int address_len;  // bytes of the address pointer that a plain write sends first
};
const I2cDevice i2c_devices[I2C_DEVICE_COUNT] = {
    {0, 0x54, "eeprom.bin", 65536, 2},
    {1, 0x20, "i2c1-0x20.bin", 256, 1},
};

// i2c-dev cuts a plain read or write to this many bytes.
constexpr size_t I2C_DEV_MAX_TRANSFER = 8192;

int find_i2c_device(int bus, unsigned address) {
    for (int i = 0; i < I2C_DEVICE_COUNT; ++i)
        if (i2c_devices[i].bus == bus && i2c_devices[i].address == address) return i;
    return -1;
}

bool i2c_fault(const Tracked& t, I2cOp op, const char* fault) {
    unsigned count = emulator.i2c_requests[t.index][op];
    char bus[16];
    snprintf(bus, sizeof bus, "%d", t.index);
    return fault_listed("i2c", fault, bus, count);
}

unsigned count_i2c_request(const Tracked& t, I2cOp op) { return ++emulator.i2c_requests[t.index][op]; }

// The device's memory, with its address counter wrapping at the end as the chip's does.
bool device_transfer(const I2cDevice& device, uint32_t offset, uint8_t* bytes, size_t count, bool store) {
    char path[PATH_MAX + 64];
    board_path(path, sizeof path, device.file);
    int fd = REAL(open)(path, (store ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
        int64_t at = (offset + i) % device.size;
        ssize_t n = store ? REAL(pwrite64)(fd, bytes + i, 1, at) : REAL(pread64)(fd, bytes + i, 1, at);
        if (n != 1) {
            if (store || n < 0)
                ok = false;
            else
                bytes[i] = 0xFF;  // beyond a short backing file: unprogrammed cells
        }
    }
    REAL(close)(fd);
    return ok;
}

int i2c_set_slave(Tracked& t, unsigned long address) {
    char request[64];
    describe_request(t, request, sizeof request, "slave 0x%02lx", address);
    count_i2c_request(t, I2C_OP_SLAVE);
    if (i2c_fault(t, I2C_OP_SLAVE, "slave-fail")) return fail_request(EBUSY, true, request);
    if (address > 0x7F) return fail_request(EINVAL, false, request);
    t.slave = static_cast<unsigned>(address);
    log_line("%s", request);
    return 0;
}

void hex_bytes(const uint8_t* bytes, size_t count, char* out, size_t size) {
    out[0] = '\0';
    constexpr size_t SHOWN = 64;
    for (size_t i = 0; i < count && i < SHOWN; ++i) {
        size_t used = strlen(out);
        snprintf(out + used, size - used, " %02x", bytes[i]);
    }
    if (count > SHOWN) {
        size_t used = strlen(out);
        snprintf(out + used, size - used, " ...");
    }
}

// I2C_SMBUS as i2c-dev answers it; the devices here know the byte-data transfers only.
int i2c_smbus(const Tracked& t, i2c_smbus_ioctl_data* transfer) {
    char request[128];
    if (!transfer) {
        describe_request(t, request, sizeof request, "smbus");
        return fail_request(EFAULT, false, request);
    }
    bool reading = transfer->read_write == I2C_SMBUS_READ;
    describe_request(t, request, sizeof request, "smbus-%s 0x%02x reg %u", reading ? "read" : "write", t.slave,
                     transfer->command);
    count_i2c_request(t, I2C_OP_SMBUS);
    // i2c-dev's own checks come first: a size it does not know, a direction other than read or
    // write, a missing data block are invalid whatever the device.
    if (transfer->size > I2C_SMBUS_I2C_BLOCK_DATA ||
        (transfer->read_write != I2C_SMBUS_READ && transfer->read_write != I2C_SMBUS_WRITE))
        return fail_request(EINVAL, false, request);
    if (transfer->size != I2C_SMBUS_BYTE_DATA) {
        size_t used = strlen(request);
        snprintf(request + used, sizeof request - used, " size %u", transfer->size);
        return fail_request(EOPNOTSUPP, false, request);
    }
    if (!transfer->data) return fail_request(EINVAL, false, request);
    int index = find_i2c_device(t.index, t.slave);
    if (index < 0) return fail_request(ENXIO, false, request);
    if (i2c_fault(t, I2C_OP_SMBUS, "smbus-fail")) return fail_request(EREMOTEIO, true, request);
    uint8_t value = transfer->data->byte;
    if (!device_transfer(i2c_devices[index], transfer->command, &value, 1, !reading))
        return fail_request(EIO, false, request);
    transfer->data->byte = value;
    log_line("%s %s 0x%02x", request, reading ? "->" : "=", value);
    return 0;
}

}  // namespace

// A plain write transfer: the first bytes set the device's address pointer, the rest are stored.
ssize_t i2c_write(const Tracked& t, const void* buffer, size_t count) {
    if (count > I2C_DEV_MAX_TRANSFER) count = I2C_DEV_MAX_TRANSFER;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    char hex[256];
    hex_bytes(bytes, count, hex, sizeof hex);
    char request[384];
    describe_request(t, request, sizeof request, "write 0x%02x%s", t.slave, hex);
    count_i2c_request(t, I2C_OP_WRITE);
    int index = find_i2c_device(t.index, t.slave);
    if (index < 0) return fail_request(ENXIO, false, request);
    if (i2c_fault(t, I2C_OP_WRITE, "write-fail")) return fail_request(EREMOTEIO, true, request);
    const I2cDevice& device = i2c_devices[index];
    size_t address_len = static_cast<size_t>(device.address_len);
    if (count >= address_len) {
        uint32_t pointer = 0;
        for (size_t i = 0; i < address_len; ++i) pointer = (pointer << 8) | bytes[i];
        pointer %= device.size;
        size_t data_len = count - address_len;
        if (data_len > 0 &&
            !device_transfer(device, pointer, const_cast<uint8_t*>(bytes + address_len), data_len, true))
            return fail_request(EIO, false, request);
        emulator.device_pointer[index] = static_cast<uint32_t>((pointer + data_len) % device.size);
#if BMSIM_PRELOADED
        if (index == 0 && data_len > 0) sim_note_eeprom_write(pointer, bytes + address_len, data_len);
#endif
    }
    log_line("%s", request);
    return static_cast<ssize_t>(count);
}

// A plain read transfer: bytes from the device's address pointer on, advancing it.
ssize_t i2c_read(const Tracked& t, void* buffer, size_t count) {
    if (count > I2C_DEV_MAX_TRANSFER) count = I2C_DEV_MAX_TRANSFER;
    int index = find_i2c_device(t.index, t.slave);
    uint32_t pointer = index < 0 ? 0 : emulator.device_pointer[index];
    char request[128];
    describe_request(t, request, sizeof request, "read 0x%02x offset %u count %zu", t.slave, pointer, count);
    count_i2c_request(t, I2C_OP_READ);
    if (index < 0) return fail_request(ENXIO, false, request);
    if (i2c_fault(t, I2C_OP_READ, "read-fail")) return fail_request(EREMOTEIO, true, request);
    size_t n = count;
    bool short_read = count > 0 && i2c_fault(t, I2C_OP_READ, "short-read");
    if (short_read) --n;
    const I2cDevice& device = i2c_devices[index];
    if (!device_transfer(device, pointer, static_cast<uint8_t*>(buffer), n, false))
        return fail_request(EIO, false, request);
    emulator.device_pointer[index] = static_cast<uint32_t>((pointer + n) % device.size);
    if (short_read)
        log_line("%s -> %zu (injected short read)", request, n);
    else
        log_line("%s", request);
    return static_cast<ssize_t>(n);
}

int i2c_ioctl(Tracked& t, unsigned request, void* arg) {
    if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE)
        return i2c_set_slave(t, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(arg)));
    if (request == I2C_SMBUS) return i2c_smbus(t, static_cast<i2c_smbus_ioctl_data*>(arg));
    if (request == I2C_FUNCS && arg) {
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_BYTE_DATA;
        return 0;
    }
    char text[64];
    describe_request(t, text, sizeof text, "ioctl 0x%x", request);
    return fail_request(ENOTTY, false, text);
}

}  // namespace sim_devices
