// The package installer on the emulated flash: what is written where, the checks that void a
// download, and the walk over pieces that are not images (unknown types, XMODEM padding, torn
// or malformed headers). Application images that reach a slot or the application start are
// covered by the scenario tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "hw/flash.h"
#include "image/image_header.h"
#include "install/installer.h"
#include "support/console_driver.h"
#include "support/test_board.h"

// Under AddressSanitizer an allocation over 256 MiB fails as it would on the 32-bit target,
// where the claimed lengths of torn headers and XMODEM padding cannot be had: an installer
// that allocated them before knowing the type and the file's size would say so.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }
#endif

namespace {

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}

std::vector<uint8_t> image_of(uint32_t type, size_t payload_size, uint8_t seed, uint32_t id = 0x01020304) {
    ImageSpec plan;
    plan.type = type;
    plan.id = id;
    return build_image(plan, pattern(payload_size, seed));
}

std::vector<uint8_t> join(const std::vector<std::vector<uint8_t>>& images) {
    std::vector<uint8_t> package;
    for (const auto& image : images) package.insert(package.end(), image.begin(), image.end());
    return package;
}

bool starts_with(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool all_erased(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// The CRC the installer shows for a failed image: over its bytes from 4 to the end it has.
std::string crc_failure(const char* format, const std::vector<uint8_t>& bytes) {
    char text[128];
    snprintf(text, sizeof text, format, crc32_update(bytes.data() + 4, uint32_t(bytes.size() - 4), 0xFFFFFFFF));
    return text;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

const std::string kWarning = "\nExtracting images ... Do *NOT* power cycle the switch.\n";
const std::string kSingleBlockProgress = "     \b\b\b\b000%\b\b\b\b100%\n";

class Installer : public ::testing::Test {
protected:
    TestBoard board;
    std::string output;

    void SetUp() override { flash_open_partitions(); }

    int install(const std::vector<uint8_t>& package, uint8_t check_version = 0, int slot = 0) {
        write_binary_file(board.path("package"), package);
        int result = -1;
        output = capture_stdout([&] { result = install_package(board.path("package").c_str(), check_version, slot); });
        return result;
    }

    // A partition holding bytes at its start and erased flash after them.
    void flash(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> contents = board.partition(name);
        std::copy(bytes.begin(), bytes.end(), contents.begin());
        board.set_partition(name, contents);
    }

    size_t requests(const std::string& what) {
        size_t count = 0;
        for (const std::string& line : board.log()) count += line.find(what) != std::string::npos;
        return count;
    }
};

TEST_F(Installer, WritesEachFlashImageWholeToItsPartition) {
    auto kernel = image_of(IMAGE_KERNEL, 1000, 1);
    auto dft = image_of(IMAGE_DEVICETREE, 300, 2);
    auto rfs = image_of(IMAGE_ROOTFS, 70000, 3);
    auto diags = image_of(IMAGE_DIAGNOSTICS, 500, 4);
    EXPECT_EQ(install(join({kernel, dft, rfs, diags})), 1);

    EXPECT_TRUE(starts_with(board.partition("kernel"), kernel));
    EXPECT_TRUE(starts_with(board.partition("devicetree"), dft));
    EXPECT_TRUE(starts_with(board.partition("rfs"), rfs));
    EXPECT_TRUE(starts_with(board.partition("rescue"), diags));
    EXPECT_EQ(output, kWarning + "Installing Kernel: " + kSingleBlockProgress +
                          "Installing Device Tree: " + kSingleBlockProgress +
                          "Installing Root Filesystem:      \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n" +
                          "Installing Diagnostics: " + kSingleBlockProgress + "done\nFile processed\n");
}

TEST_F(Installer, WritesOnlyTheBootLoaderPayloadAndLimitsItsLenField) {
    ImageSpec plan;
    plan.type = IMAGE_BOOTLOADER;
    plan.id = 0x02000001;
    plan.embed_header_copy = true;
    auto payload = pattern(0x80000, 9);
    auto image = build_image(plan, payload);
    EXPECT_EQ(install(image), 1) << output;
    auto uboot = board.partition("uboot");
    EXPECT_TRUE(starts_with(uboot, std::vector<uint8_t>(image.begin() + 16, image.end())));

    board.set_partition("uboot", std::vector<uint8_t>(uboot.size(), 0xFF));
    payload.push_back(0);
    EXPECT_EQ(install(build_image(plan, payload)), 0);
    EXPECT_EQ(output, kWarning + "Installing Boot Loader: UBOOT image is too big for flash (524289 > 524288)\n");
    EXPECT_TRUE(all_erased(board.partition("uboot")));
}

TEST_F(Installer, AcceptsAKernelOfExactlyItsLimitAndRefusesOneByteMore) {
    auto kernel = image_of(IMAGE_KERNEL, 0x300000 - 16, 5);
    EXPECT_EQ(install(kernel), 1);
    EXPECT_EQ(board.partition("kernel"), kernel);

    board.set_partition("kernel", std::vector<uint8_t>(0x300000, 0xFF));
    EXPECT_EQ(install(image_of(IMAGE_KERNEL, 0x300000 - 15, 5)), 0);
    EXPECT_EQ(output, kWarning + "Installing Kernel: KERNEL image is too big for flash (3145729 > 3145728)\n");
    EXPECT_TRUE(all_erased(board.partition("kernel")));
}

TEST_F(Installer, ApplicationWithBadCrcIsRefusedBeforeAnyQuestion) {
    auto app = image_of(IMAGE_APPLICATION, 400, 6);
    app[12] = 9;  // a changed version without a new CRC
    EXPECT_EQ(install(app), 0);
    EXPECT_EQ(output, kWarning + "Installing Application: " +
                          crc_failure("Bad crc for APPLICATION: 0x%08x, voiding download\n", app));
}

// ---- the version check -----------------------------------------------------------------------

TEST_F(Installer, VersionCheckSkipsAnImageEqualToTheInstalledOne) {
    auto kernel = image_of(IMAGE_KERNEL, 1000, 1);
    flash("kernel", kernel);
    board.clear_log();
    EXPECT_EQ(install(kernel, 1), 0);
    EXPECT_EQ(output, kWarning + "Installing Kernel: Image has same version as existing image. Skipping update...\n"
                                 "File processed\nERROR: No valid image found\n");
    EXPECT_EQ(requests("mtd-kernel erase "), 0u);

    EXPECT_EQ(install(kernel, 0), 1);
    EXPECT_GT(requests("mtd-kernel erase "), 0u);
}

TEST_F(Installer, VersionCheckInstallsAnImageThatDiffersOnlyInItsCrc) {
    flash("kernel", image_of(IMAGE_KERNEL, 1000, 1));
    auto other_payload = image_of(IMAGE_KERNEL, 1000, 2);
    EXPECT_EQ(install(other_payload, 1), 1);
    EXPECT_TRUE(starts_with(board.partition("kernel"), other_payload));
}

TEST_F(Installer, VersionCheckOfTheBootLoaderComparesTheCopyAtByte240) {
    ImageSpec plan;
    plan.type = IMAGE_BOOTLOADER;
    plan.id = 0x03000000;
    plan.embed_header_copy = true;
    auto image = build_image(plan, pattern(4096, 3));
    flash("uboot", std::vector<uint8_t>(image.begin() + 16, image.end()));
    EXPECT_EQ(install(image, 1), 0);
    EXPECT_NE(output.find("Image has same version as existing image. Skipping update..."), std::string::npos);

    plan.id = 0x03000001;
    EXPECT_EQ(install(build_image(plan, pattern(4096, 3)), 1), 1);
}

// ---- pieces that are not images ---------------------------------------------------------------

TEST_F(Installer, StepsSilentlyOverImagesOfUnknownType) {
    auto unknown = image_of(0x07504754, 5000, 8);
    auto kernel = image_of(IMAGE_KERNEL, 1000, 1);
    EXPECT_EQ(install(join({unknown, kernel, image_of(0, 100, 1)})), 1);
    EXPECT_EQ(output, kWarning + "Installing Kernel: " + kSingleBlockProgress + "File processed\n");
    EXPECT_TRUE(starts_with(board.partition("kernel"), kernel));
}

// The XMODEM sender pads its last block with 0x1A: a short tail, or one long enough to read
// as a header of an unknown type whose length runs far past the end of the file.
TEST_F(Installer, XmodemPaddingAfterTheLastImageKeepsTheResult) {
    auto kernel = image_of(IMAGE_KERNEL, 1000, 1);
    for (size_t padding : {size_t(10), size_t(23), size_t(24), size_t(1024 - kernel.size() % 1024)}) {
        auto package = kernel;
        package.insert(package.end(), padding, 0x1A);
        EXPECT_EQ(install(package), 1) << padding;
        EXPECT_EQ(output, kWarning + "Installing Kernel: " + kSingleBlockProgress + "File processed\n") << padding;
    }
}

TEST_F(Installer, TruncatedImageFailsAsCrcMismatchOverTheBytesThatCame) {
    auto kernel = image_of(IMAGE_KERNEL, 100000, 1);
    kernel.resize(70000);
    EXPECT_EQ(install(kernel), 0);
    EXPECT_EQ(output, kWarning + "Installing Kernel: " +
                          crc_failure("Bad crc for KERNEL: 0x%08x, voiding download\n", kernel));
    EXPECT_TRUE(all_erased(board.partition("kernel")));
}

TEST_F(Installer, ClaimedLengthNearFourGigabytesIsATruncatedImage) {
    for (uint32_t type : {uint32_t(IMAGE_APPLICATION), uint32_t(IMAGE_ROOTFS)}) {
        auto image = image_of(type, 200, 1);
        write_be32(&image[4], 0xFFFFFF00);  // total 0xFFFFFF10: no wrap, far past the file
        EXPECT_EQ(install(image), 0);
        EXPECT_NE(output.find(crc_failure("0x%08x, voiding download\n", image)), std::string::npos) << output;
    }
}

TEST_F(Installer, MalformedLengthsOfAKnownTypeFailAsCrcMismatch) {
    ImageSpec plan;
    plan.type = IMAGE_KERNEL;
    plan.format = 2;
    auto short_header = build_image(plan, pattern(100, 1));
    short_header[19] = 4;  // a header of 4 bytes
    auto wrapped = image_of(IMAGE_KERNEL, 100, 1);
    write_be32(&wrapped[4], 0xFFFFFFF8);  // total 8 after the wrap past 2^32
    plan.format = 3;
    auto negative = build_image(plan, pattern(100, 1));
    write_be32(&negative[4], 2);  // format-3 len below header length - 16

    for (const auto& image : {short_header, wrapped, negative}) {
        EXPECT_EQ(install(join({image, image_of(IMAGE_DEVICETREE, 100, 2)})), 0);
        EXPECT_EQ(output.find(kWarning + "Installing Kernel: Bad crc for KERNEL: 0x"), 0u) << output;
        EXPECT_EQ(count_of(output, "Installing"), 1u);
    }
    EXPECT_TRUE(all_erased(board.partition("kernel")));
    EXPECT_TRUE(all_erased(board.partition("devicetree")));
}

TEST_F(Installer, UnknownTypeThatCannotBeSteppedOverEndsTheWalk) {
    auto kernel = image_of(IMAGE_KERNEL, 1000, 1);
    auto stuck = image_of(0x0A0B0C0D, 100, 2);
    write_be32(&stuck[4], 0xFFFFFFF0);  // total 0: the walk would stand still
    EXPECT_EQ(install(join({kernel, stuck, image_of(IMAGE_DEVICETREE, 100, 2)})), 1);
    EXPECT_EQ(output, kWarning + "Installing Kernel: " + kSingleBlockProgress + "File processed\n");
}

TEST_F(Installer, FileWithoutImagesReportsNoValidImage) {
    for (size_t size : {size_t(0), size_t(10)}) {
        EXPECT_EQ(install(std::vector<uint8_t>(size, 0)), 0);
        EXPECT_EQ(output, kWarning + "File processed\nERROR: No valid image found\n");
    }
}

TEST_F(Installer, MissingPackageFileIsAFailure) {
    int result = -1;
    output = capture_stdout([&] { result = install_package(board.path("absent").c_str(), 0, 0); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output, "Cannot open package " + board.path("absent") + " (err 2)\n");
}

}  // namespace
