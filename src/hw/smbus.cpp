// SMBus byte-data transfers over the kernel's I2C_SMBUS request, for builds without libi2c.
// Each transfer is one request, as with libi2c.
#include "hw/smbus.h"

#ifndef BM_HAVE_LIBI2C
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

namespace {

int smbus_byte_data_request(int file, __u8 read_write, __u8 command, i2c_smbus_data* data) {
    i2c_smbus_ioctl_data request{};
    request.read_write = read_write;
    request.command = command;
    request.size = I2C_SMBUS_BYTE_DATA;
    request.data = data;
    return ioctl(file, I2C_SMBUS, &request);
}

}  // namespace

__s32 i2c_smbus_read_byte_data(int file, __u8 command) {
    i2c_smbus_data data{};
    if (smbus_byte_data_request(file, I2C_SMBUS_READ, command, &data) < 0) return -1;
    return data.byte;
}

__s32 i2c_smbus_write_byte_data(int file, __u8 command, __u8 value) {
    i2c_smbus_data data{};
    data.byte = value;
    return smbus_byte_data_request(file, I2C_SMBUS_WRITE, command, &data) < 0 ? -1 : 0;
}
#endif
