// The SMBus byte-data transfers as the EEPROM code calls them: libi2c on the host, the
// project's own helper over I2C_SMBUS on the target. Both must send one byte-data request per
// transfer and give the register's byte unsigned.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "hw/smbus.h"
#include "support/test_board.h"

namespace {

TEST(Smbus, ReadsUnsignedWritesOneRegisterAndFailsWithErrno)
{
    TestBoard board;
    int fd = open("/dev/i2c-1", O_RDWR);
    ASSERT_EQ(ioctl(fd, I2C_SLAVE, 0x20), 0);
    board.clear_log();
    for (int value : {0x00, 0x2C, 0x7F, 0x80, 0xFF}) {
        board.set_i2c1_register(4, uint8_t(value));
        EXPECT_EQ(i2c_smbus_read_byte_data(fd, 4), value);
    }
    EXPECT_EQ(i2c_smbus_write_byte_data(fd, 12, 0xA5), 0);
    EXPECT_EQ(board.i2c1_register(12), 0xA5);
    std::vector<std::string> log = log_lines_starting(board.log(), {"i2c-1"});
    EXPECT_EQ(log.size(), 6u) << "one request per transfer";
    EXPECT_EQ(log.back(), "i2c-1 smbus-write 0x20 reg 12 = 0xa5") << "and only register 12 written";

    board.set_faults("i2c smbus-fail 1\n");
    errno = 0;
    int read = i2c_smbus_read_byte_data(fd, 4);
    EXPECT_EQ(errno, EREMOTEIO);
    errno = 0;
    int written = i2c_smbus_write_byte_data(fd, 12, 0x00);
    EXPECT_EQ(errno, EREMOTEIO);
#ifdef BM_HAVE_LIBI2C
    const int failed = -EREMOTEIO;  // libi2c gives the negative errno
#else
    const int failed = -1;
#endif
    EXPECT_EQ(read, failed);
    EXPECT_EQ(written, failed);
    EXPECT_EQ(board.i2c1_register(12), 0xA5);
    close(fd);
}

}  // namespace
