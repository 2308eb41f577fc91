// SMBus byte-data transfers on an i2c-dev descriptor, for the device at 0x20 on bus 1.
// Include this header, never <i2c/smbus.h> directly: it gives libi2c's declarations where the
// build found libi2c (the host), and the project's own helper's otherwise (the switch target,
// for which libi2c is not packaged). Both have C linkage and the same types.
#pragma once

#ifdef BM_HAVE_LIBI2C
extern "C" {
#include <i2c/smbus.h>
}
#else
#include <linux/types.h>

extern "C" {
// The register's byte (0 to 255), or -1 when the I2C_SMBUS request fails (errno tells why).
__s32 i2c_smbus_read_byte_data(int file, __u8 command);
// The I2C_SMBUS request's result: 0, or -1 when it fails (errno tells why).
__s32 i2c_smbus_write_byte_data(int file, __u8 command, __u8 value);
}
#endif
