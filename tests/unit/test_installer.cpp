// The package installer on the emulated flash: what is written where, the checks that void a
// download, and the walk over pieces that are not images (unknown types, XMODEM padding, torn
// or malformed headers). Application images that reach a slot or the application start are
// covered by the scenario tests. Faults tried and the test that caught them:
//   - no check of the claimed total against the file before the allocation:
//     Installer.UnreadableOrDamagedImageVoidsTheDownload
//   - the same-version skip without the version check asked for:
//     Installer.VersionCheckSkipsAnImageEqualToTheInstalledOne
//   - the rest of an over-long slot answer left for the next question, a break at the slot
//     question taken as Return (the download booted): Installer.SlotQuestionTakesOneLineAndABreakCancels
//   - a type's update-failed line misspelt, the images after a CRC failure installed:
//     Installer.EachTypesTooBigCrcAndUpdateFailedMessages
#include <gtest/gtest.h>

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bmimage/image_builder.h"
#include "console/console_input.h"
#include "hw/flash.h"
#include "image/image_header.h"
#include "install/installer.h"
#include "support/bytes.h"
#include "support/console_driver.h"
#include "support/test_board.h"

// Under AddressSanitizer an allocation over 256 MiB fails as it would on the 32-bit target,
// where the claimed lengths of torn headers and XMODEM padding cannot be had: an installer
// that allocated them before knowing the type and the file's size would say so.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }
#endif

namespace {

Bytes image_of(uint32_t type, size_t payload_size, uint8_t seed = 1, ImageSpec plan = {.id = 0x01020304}) {
    plan.type = type;
    return build_image(plan, pattern_bytes(payload_size, seed));
}

const std::string kWarning = "\nExtracting images ... Do *NOT* power cycle the switch.\n";
const std::string kOneBlock = "     \b\b\b\b000%\b\b\b\b100%\n";

struct Installer : ::testing::Test {
    TestBoard board;
    std::string output;
    void SetUp() override { flash_open_partitions(); }

    int install(const Bytes& package, uint8_t check_version = 0) {
        write_binary_file(board.path("package"), package);
        int result = -1;
        output = capture_stdout([&] { result = install_package(board.path("package").c_str(), check_version, 0); });
        return result;
    }
    bool holds(const std::string& partition, const Bytes& bytes) {
        Bytes contents = board.partition(partition);
        return contents.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), contents.begin());
    }
    bool erased(const std::string& name) { return holds(name, Bytes(board.partition(name).size(), 0xFF)); }
};

TEST_F(Installer, WritesEachFlashImageWholeToItsPartitionIn64KiBBlocks) {
    Bytes kernel = image_of(IMAGE_KERNEL, 1000), dft = image_of(IMAGE_DEVICETREE, 300, 2),
          rfs = image_of(IMAGE_ROOTFS, 70000, 3), diags = image_of(IMAGE_DIAGNOSTICS, 500, 4);
    EXPECT_EQ(install(joined({kernel, dft, rfs, diags})), 1);
    EXPECT_TRUE(holds("kernel", kernel) && holds("devicetree", dft) && holds("rfs", rfs) && holds("rescue", diags));
    EXPECT_EQ(output, kWarning + "Installing Kernel: " + kOneBlock + "Installing Device Tree: " + kOneBlock +
                          "Installing Root Filesystem:      \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n" +
                          "Installing Diagnostics: " + kOneBlock + "done\nFile processed\n");
}

// Each type's messages. Its limit refuses one byte more (the boot loader is limited by its len
// field, the others by their total length) and, for the kernel and the boot loader, accepts
// exactly the limit, the boot loader written without its header (its payload carries a copy at
// byte 240). Its CRC failure, after an earlier image was written, shows the CRC computed over the
// download, keeps the earlier image and leaves the image after it unread. A failed flash write
// voids the download with the type's own line.
TEST_F(Installer, EachTypesTooBigCrcAndUpdateFailedMessages) {
    const struct {
        uint32_t type;
        std::string name, tag, big_tag, failure, partition;
        size_t payload;  // the largest accepted
        bool try_limit = false;
    } types[] = {
        {IMAGE_KERNEL, "Kernel", "KERNEL", "KERNEL", "kernel image update failed", "kernel", 0x300000 - 16, true},
        {IMAGE_BOOTLOADER, "Boot Loader", "UBOOT", "UBOOT", "Uboot image update failed", "uboot", 0x80000, true},
        {IMAGE_ROOTFS, "Root Filesystem", "RFS", "RFS", "RFS image update failed", "rfs", 0xF00000 - 16},
        {IMAGE_DEVICETREE, "Device Tree", "DFT", "DFT", "DFT image update failed", "devicetree", 0x40000 - 16},
        {IMAGE_DIAGNOSTICS, "Diagnostics", "DIAGNOSTICS IMAGE", "DIAGS", "DIAGS image update failed", "rescue",
         0xA00000 - 16},
    };
    const Bytes earlier = image_of(IMAGE_KERNEL, 1000, 9), later = image_of(IMAGE_DEVICETREE, 200, 8);
    for (const auto& t : types) {
        SCOPED_TRACE(t.name);
        ImageSpec plan{.embed_header_copy = t.type == IMAGE_BOOTLOADER};
        size_t limit = t.payload + (t.type == IMAGE_BOOTLOADER ? 0 : 16);
        EXPECT_EQ(install(image_of(t.type, t.payload + 1, 5, plan)), 0);
        EXPECT_EQ(output, kWarning + "Installing " + t.name + ": " + t.big_tag + " image is too big for flash (" +
                              std::to_string(limit + 1) + " > " + std::to_string(limit) + ")\n");
        EXPECT_TRUE(erased(t.partition));
        Bytes spoiled = image_of(t.type, 300, 5, plan);
        spoiled[100] ^= 1;
        char crc[16];
        snprintf(crc, sizeof crc, "%08x", crc32_update(&spoiled[4], uint32_t(spoiled.size() - 4), ~0u));
        EXPECT_EQ(install(joined({earlier, spoiled, later})), 0);
        EXPECT_EQ(output, kWarning + "Installing Kernel: " + kOneBlock + "Installing " + t.name + ": Bad crc for " +
                              t.tag + ": 0x" + crc + ", voiding download\n");
        EXPECT_TRUE(holds("kernel", earlier) && erased("devicetree"));
        board.set_faults("fail " + t.partition + " write\n");
        EXPECT_EQ(install(image_of(t.type, 300, 5, plan)), 0);
        EXPECT_TRUE(output.starts_with(kWarning + "Installing " + t.name + ": ") &&
                    output.ends_with("\n" + t.failure + "\n"))
            << output;
        board.set_faults("");
        if (!t.try_limit) continue;
        Bytes image = image_of(t.type, t.payload, 5, plan);
        EXPECT_EQ(install(image), 1) << output;
        long written_from = t.type == IMAGE_BOOTLOADER ? 16 : 0;
        EXPECT_TRUE(holds(t.partition, Bytes(image.begin() + written_from, image.end())));
    }
}

// A bad CRC, a truncated image, a claimed length beyond the end of the file and lengths that
// cannot describe an image all take the type's CRC-failure path, before any question, without
// allocating the claimed length, and void the rest of the download. The CRC shown is over the
// bytes the file holds; where the lengths are malformed only its form is checked.
TEST_F(Installer, UnreadableOrDamagedImageVoidsTheDownload) {
    auto changed = [](Bytes image, size_t at, uint32_t word) {
        write_be32(&image[at], word);
        return image;
    };
    Bytes app = image_of(IMAGE_APPLICATION, 400, 6), rfs = image_of(IMAGE_ROOTFS, 200);
    Bytes dft = image_of(IMAGE_DEVICETREE, 100, 2);
    Bytes kernel = image_of(IMAGE_KERNEL, 100000), truncated(kernel.begin(), kernel.begin() + 70000);
    const struct {
        const char* what;
        Bytes package;
        std::string failed;
        size_t crc_end;  // the CRC shown is over bytes 4 to this one; 0: only its form is checked
    } cases[] = {
        {"new version, old CRC", joined({changed(app, 12, 0x09020304), dft}), "Application: Bad crc for APPLICATION",
         app.size()},
        {"truncated", truncated, "Kernel: Bad crc for KERNEL", truncated.size()},
        // a claimed total of 0xFFFFFF10: no wrap, far past the end of the file
        {"application past the end", changed(app, 4, 0xFFFFFF00), "Application: Bad crc for APPLICATION", app.size()},
        {"file system past the end", changed(rfs, 4, 0xFFFFFF00), "Root Filesystem: Bad crc for RFS", rfs.size()},
        {"header of 4 bytes", joined({changed(image_of(IMAGE_KERNEL, 100, 1, {.format = 2}), 16, 4), dft}),
         "Kernel: Bad crc for KERNEL", 0},
        {"total of 8 after a wrap past 2^32", joined({changed(image_of(IMAGE_KERNEL, 100), 4, 0xFFFFFFF8), dft}),
         "Kernel: Bad crc for KERNEL", 0},
        {"format-3 len under header length - 16",
         joined({changed(image_of(IMAGE_KERNEL, 100, 1, {.format = 3}), 4, 2), dft}), "Kernel: Bad crc for KERNEL", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(install(c.package), 0);
        char crc[16] = "########";
        if (c.crc_end)
            snprintf(crc, sizeof crc, "%08x", crc32_update(&c.package[4], uint32_t(c.crc_end - 4), ~0u));
        else if (size_t at = output.rfind(": 0x"); at != std::string::npos)
            output.replace(at + 4, 8, crc);
        EXPECT_EQ(output, kWarning + "Installing " + c.failed + ": 0x" + crc + ", voiding download\n");
    }
    for (const char* partition : {"kernel", "rfs", "devicetree"}) EXPECT_TRUE(erased(partition)) << partition;
}

// With the version check an image whose header equals the installed one is skipped without an
// erase; without it, it is written again. Which headers are equal is tried in test_image_header.
TEST_F(Installer, VersionCheckSkipsAnImageEqualToTheInstalledOne) {
    Bytes kernel = image_of(IMAGE_KERNEL, 1000);
    EXPECT_EQ(install(kernel, 1), 1);
    board.clear_log();
    EXPECT_EQ(install(kernel, 1), 0);
    EXPECT_EQ(output, kWarning +
                          "Installing Kernel: Image has same version as existing image. Skipping update...\n"
                          "File processed\nERROR: No valid image found\n");
    for (const std::string& line : board.log()) EXPECT_EQ(line.find(" erase "), std::string::npos) << line;
    EXPECT_EQ(install(kernel, 0), 1);
}

// Pieces that are not images are stepped over silently: images of unknown types (by their
// length, without reading them), the XMODEM sender's 0x1A padding of its last block (a short
// tail, or one long enough to read as a header of an unknown type whose length runs far past
// the end), and an unknown type whose lengths cannot be stepped over ends the walk.
TEST_F(Installer, StepsOverPiecesThatAreNotImages) {
    Bytes kernel = image_of(IMAGE_KERNEL, 1000), stuck = image_of(0x0A0B0C0D, 100, 2);
    write_be32(&stuck[4], 0xFFFFFFF0);  // total 0: the walk would stand still
    std::vector<Bytes> packages = {joined({image_of(0x07504754, 5000, 8), kernel, image_of(0, 100)}),
                                   joined({kernel, stuck, image_of(IMAGE_DEVICETREE, 100, 2)})};
    for (size_t padding : {size_t(10), size_t(23), size_t(24), size_t(1024 - kernel.size() % 1024)})
        packages.push_back(joined({kernel, Bytes(padding, 0x1A)}));
    for (const Bytes& package : packages) {
        EXPECT_EQ(install(package), 1) << package.size();
        EXPECT_EQ(output, kWarning + "Installing Kernel: " + kOneBlock + "File processed\n") << package.size();
        EXPECT_TRUE(holds("kernel", kernel));
    }
    EXPECT_TRUE(erased("devicetree"));
}

TEST_F(Installer, MissingPackageFileIsAFailure) {
    int result = -1;
    output = capture_stdout([&] { result = install_package(board.path("absent").c_str(), 0, 0); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output, "Cannot open package " + board.path("absent") + " (err 2)\n");
}

// The slot question reads one line: the rest of an over-long one is dropped, so that it cannot
// answer the next question. The interrupt key breaks the read and cancels the install: nothing
// is installed and the download is not booted.
TEST_F(Installer, SlotQuestionTakesOneLineAndABreakCancels) {
    std::string lines = "1" + std::string(40, '2') + "\n2\n\nx\n";
    FILE* console = fmemopen(lines.data(), lines.size(), "r");
    for (int answer : {1, 2, 0, 0, 0}) EXPECT_EQ(read_slot_answer(console), answer);
    fclose(console);

    struct sigaction previous = {};
    sigaction(SIGINT, nullptr, &previous);
    install_signal_handlers();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int saved_stdin = dup(0);
    dup2(fds[0], 0);
    std::thread operator_thread([reader = pthread_self()] {
        struct timeval pause = {0, 200000};  // select: the emulator scales the sleeps, not this
        select(0, nullptr, nullptr, nullptr, &pause);
        pthread_kill(reader, SIGINT);
    });
    EXPECT_EQ(install(image_of(IMAGE_APPLICATION, 100)), INSTALL_NOTHING);
    operator_thread.join();
    dup2(saved_stdin, 0);
    for (int fd : {saved_stdin, fds[0], fds[1]}) close(fd);
    sigaction(SIGINT, &previous, nullptr);
    break_requested = 0;
    EXPECT_EQ(output,
              kWarning + "Installing Application: Install image as image 1 or 2 (hit return to just boot image): \n");
}

}  // namespace
