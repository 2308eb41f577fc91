// The header formats, the sanity of lengths, the walk through a package and the version checks.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "hw/flash.h"
#include "image/image_header.h"
#include "support/test_board.h"

namespace {

HeaderProbe probe_of(const std::vector<uint8_t>& bytes)
{
    HeaderProbe probe{};
    memcpy(probe.bytes, bytes.data(), std::min<size_t>(bytes.size(), HEADER_PROBE_SIZE));
    return probe;
}

// A header written field by field, big-endian, with the 8 bytes that follow it.
std::vector<uint8_t> raw_probe(uint32_t len, uint32_t magic, uint32_t id, uint32_t word16,
                               uint32_t word20)
{
    std::vector<uint8_t> bytes(HEADER_PROBE_SIZE, 0);
    write_be32(&bytes[4], len);
    write_be32(&bytes[8], magic);
    write_be32(&bytes[12], id);
    write_be32(&bytes[16], word16);
    write_be32(&bytes[20], word20);
    return bytes;
}

std::vector<uint8_t> image_of(uint32_t type, uint32_t id, size_t payload_len, int format = 1)
{
    ImageSpec spec;
    spec.type = type;
    spec.id = id;
    spec.format = format;
    std::vector<uint8_t> payload(payload_len);
    for (size_t i = 0; i < payload_len; i++)
        payload[i] = uint8_t(i * 13 + 5);
    return build_image(spec, payload);
}

std::vector<uint8_t> joined(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

// ---- The format table ------------------------------------------------------------------------

TEST(ImageFormat, Format1ApplicationDecodesBigEndianOnEveryHost)
{
    // A format-1 application image of version 1.2.3.4 with 1000 bytes of payload.
    const uint8_t header[HEADER_PROBE_SIZE] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x00, 0x03, 0xE8,
                                               0x01, 0x50, 0x47, 0x54, 0x01, 0x02, 0x03, 0x04};
    ImageHeader decoded = decode_image_header(header);
    EXPECT_EQ(decoded.crc, 0xDEADBEEFu);
    EXPECT_EQ(decoded.len, 1000u);
    EXPECT_EQ(decoded.magic, uint32_t(IMAGE_APPLICATION));
    EXPECT_EQ(decoded.id, 0x01020304u);
    EXPECT_EQ(read_be16(header + 6), 0x03E8u);

    HeaderProbe probe;
    memcpy(probe.bytes, header, sizeof header);
    ImageLayout layout = parse_image_header(probe);
    EXPECT_EQ(layout.format, HEADER_FORMAT_1);
    EXPECT_EQ(layout.header_len, 16u);
    EXPECT_EQ(layout.payload_len, 1000u);
    EXPECT_EQ(layout.total_len, 1016u);

    uint8_t written[4];
    write_be32(written, 0x01504754);
    EXPECT_EQ(0, memcmp(written, header + 8, 4));
}

TEST(ImageFormat, Format3IsDecidedByTheMarkerWhateverBit31Holds)
{
    for (uint32_t bit31 : {0u, MAGIC_FORMAT2_BIT}) {
        ImageLayout layout =
            parse_image_header(probe_of(raw_probe(100, IMAGE_KERNEL | bit31, 0, FORMAT3_MARKER, 32)));
        EXPECT_EQ(layout.format, HEADER_FORMAT_3);
        EXPECT_EQ(layout.magic, IMAGE_KERNEL | bit31);
        EXPECT_EQ(layout.header_len, 32u);
        EXPECT_EQ(layout.payload_len, 84u);
        EXPECT_EQ(layout.total_len, 116u);
        EXPECT_TRUE(image_layout_sane(layout));
    }
}

TEST(ImageFormat, Format1PayloadBeginningWithTheMarkerReadsAsFormat3)
{
    ImageSpec spec;
    std::vector<uint8_t> payload = {0x48, 0x44, 0x52, 0x33, 0x00, 0x00, 0x00, 0x40, 1, 2, 3};
    ImageLayout layout = parse_image_header(probe_of(build_image(spec, payload)));
    EXPECT_EQ(layout.format, HEADER_FORMAT_3);
    EXPECT_EQ(layout.header_len, 0x40u);
}

TEST(ImageFormat, Format2TakesItsHeaderLengthFromByte18)
{
    ImageLayout layout =
        parse_image_header(probe_of(raw_probe(1000, IMAGE_ROOTFS | MAGIC_FORMAT2_BIT, 0, 64, 0)));
    EXPECT_EQ(layout.format, HEADER_FORMAT_2);
    EXPECT_EQ(layout.magic, 0x84504754u);
    EXPECT_EQ(layout.header_len, 64u);
    EXPECT_EQ(layout.payload_len, 1000u);
    EXPECT_EQ(layout.total_len, 1064u);
}

TEST(ImageFormat, VersionShowsFourUnsignedBytes)
{
    char text[16];
    format_version(0x01020304, text);
    EXPECT_STREQ(text, "1.2.3.4");
    format_version(0xFFFEFD80, text);
    EXPECT_STREQ(text, "255.254.253.128");
    format_version(0, text);
    EXPECT_STREQ(text, "0.0.0.0");
}

// ---- Lengths that cannot describe an image ---------------------------------------------------

TEST(ImageLayoutSane, RefusesEveryMalformedLength)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> probe;
    };
    const Case cases[] = {
        {"total 0", raw_probe(0, IMAGE_KERNEL | MAGIC_FORMAT2_BIT, 0, 0, 0)},
        {"total 20", raw_probe(4, IMAGE_KERNEL, 0, 0, 0)},
        {"format-2 header of 8", raw_probe(100, IMAGE_KERNEL | MAGIC_FORMAT2_BIT, 0, 8, 0)},
        {"format-3 header of 10", raw_probe(100, IMAGE_KERNEL, 0, FORMAT3_MARKER, 10)},
        {"negative format-3 payload", raw_probe(10, IMAGE_KERNEL, 0, FORMAT3_MARKER, 64)},
        {"format-1 total wraps to 0", raw_probe(0xFFFFFFF0u, IMAGE_KERNEL, 0, 0, 0)},
        {"format-2 total wraps", raw_probe(0xFFFFFFF0u, IMAGE_KERNEL | MAGIC_FORMAT2_BIT, 0, 64, 0)},
        {"format-3 total wraps", raw_probe(0xFFFFFFF8u, IMAGE_KERNEL, 0, FORMAT3_MARKER, 24)},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(image_layout_sane(parse_image_header(probe_of(c.probe)))) << c.what;
}

TEST(ImageLayoutSane, AcceptsTheBoundaries)
{
    EXPECT_TRUE(image_layout_sane(parse_image_header(probe_of(raw_probe(8, IMAGE_KERNEL, 0, 0, 0)))));
    EXPECT_TRUE(image_layout_sane(
        parse_image_header(probe_of(raw_probe(0xFFFFFFEFu, IMAGE_KERNEL, 0, 0, 0)))));
    // Format 3 with an empty payload: len = header length - 16.
    EXPECT_TRUE(image_layout_sane(
        parse_image_header(probe_of(raw_probe(8, IMAGE_KERNEL, 0, FORMAT3_MARKER, 24)))));
    EXPECT_TRUE(image_layout_sane(
        parse_image_header(probe_of(raw_probe(8, IMAGE_KERNEL | MAGIC_FORMAT2_BIT, 0, 16, 0)))));
}

// ---- The walk through a package --------------------------------------------------------------

namespace {

// A read-only stream over bytes that counts its reads, so that a walk that would run forever
// ends (as end of file) and is caught instead of hanging the test.
struct CountingStream {
    std::vector<uint8_t> bytes;
    off64_t position = 0;
    int reads = 0;
    bool runaway = false;
};

constexpr int READ_LIMIT = 1000;

ssize_t counting_read(void* cookie, char* buffer, size_t size)
{
    auto* s = static_cast<CountingStream*>(cookie);
    if (++s->reads > READ_LIMIT) {
        s->runaway = true;
        return 0;
    }
    if (s->position >= off64_t(s->bytes.size()))
        return 0;
    size_t count = std::min(size, s->bytes.size() - size_t(s->position));
    memcpy(buffer, s->bytes.data() + s->position, count);
    s->position += off64_t(count);
    return ssize_t(count);
}

// Like a file: a position beyond the end is allowed and reads as end of file.
int counting_seek(void* cookie, off64_t* offset, int whence)
{
    auto* s = static_cast<CountingStream*>(cookie);
    off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->position : off64_t(s->bytes.size());
    if (base + *offset < 0)
        return -1;
    s->position = *offset = base + *offset;
    return 0;
}

struct WalkResult {
    bool found = false;
    uint32_t type = 0;
    HeaderFormat format{};
    uint32_t header_len = 0;
    uint32_t payload_len = 0;
    uint8_t header_copy[IMAGE_HEADER_SIZE];
    long position = -1;   // of the stream after the walk
    bool runaway = false;
};

WalkResult walk(const std::vector<uint8_t>& file)
{
    CountingStream state;
    state.bytes = file;
    FILE* stream = fopencookie(&state, "rb", {counting_read, nullptr, counting_seek, nullptr});
    // A small buffer keeps the counted reads close to the walk's own reads.
    setvbuf(stream, nullptr, _IOFBF, 64);
    WalkResult result;
    memset(result.header_copy, 0xAA, sizeof result.header_copy);
    result.found = find_image_header(stream, &result.type, &result.format, &result.header_len,
                                     &result.payload_len, result.header_copy);
    result.position = ftell(stream);
    result.runaway = state.runaway;
    fclose(stream);
    return result;
}

}  // namespace

TEST(FindImageHeader, StepsOverAKernelToTheApplication)
{
    std::vector<uint8_t> kernel = image_of(IMAGE_KERNEL, 0x05000001, 1000);
    std::vector<uint8_t> app = image_of(IMAGE_APPLICATION, 0x01020304, 500, 3);
    WalkResult r = walk(joined({kernel, app}));
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.type, uint32_t(IMAGE_APPLICATION));
    EXPECT_EQ(r.format, HEADER_FORMAT_3);
    EXPECT_EQ(r.header_len, 24u);
    EXPECT_EQ(r.payload_len, 500u);
    EXPECT_EQ(r.position, long(kernel.size()));
    EXPECT_EQ(0, memcmp(r.header_copy, app.data(), IMAGE_HEADER_SIZE));
}

TEST(FindImageHeader, StepsOverEveryOtherTypeToDiagnostics)
{
    std::vector<uint8_t> front = joined({image_of(IMAGE_BOOTLOADER, 1, 300), image_of(IMAGE_ROOTFS, 2, 77, 2),
                                         image_of(IMAGE_DEVICETREE, 3, 41, 3), image_of(0x7ABCDEF0, 4, 9)});
    WalkResult r = walk(joined({front, image_of(IMAGE_DIAGNOSTICS, 5, 64)}));
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.type, uint32_t(IMAGE_DIAGNOSTICS));
    EXPECT_EQ(r.position, long(front.size()));
}

TEST(FindImageHeader, Format2ApplicationKeepsBit31InTheCopy)
{
    std::vector<uint8_t> app = image_of(IMAGE_APPLICATION, 7, 100, 2);
    WalkResult r = walk(app);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.type, uint32_t(IMAGE_APPLICATION));
    EXPECT_EQ(r.format, HEADER_FORMAT_2);
    EXPECT_EQ(read_be32(r.header_copy + 8), 0x81504754u);
    EXPECT_EQ(r.position, 0);
}

TEST(FindImageHeader, NoBootableImageLeavesTheLastHeaderLookedAt)
{
    std::vector<uint8_t> second = image_of(IMAGE_KERNEL, 0x02000000, 50);
    WalkResult r = walk(joined({image_of(IMAGE_ROOTFS, 1, 50), second}));
    EXPECT_FALSE(r.found);
    EXPECT_EQ(0, memcmp(r.header_copy, second.data(), IMAGE_HEADER_SIZE));
}

TEST(FindImageHeader, ShortFilesAndShortLastImagesAreNeverExamined)
{
    std::vector<uint8_t> app = image_of(IMAGE_APPLICATION, 1, 100);
    WalkResult r = walk(std::vector<uint8_t>(app.begin(), app.begin() + 23));
    EXPECT_FALSE(r.found);
    const uint8_t zeros[IMAGE_HEADER_SIZE] = {};
    EXPECT_EQ(0, memcmp(r.header_copy, zeros, IMAGE_HEADER_SIZE));

    std::vector<uint8_t> kernel = image_of(IMAGE_KERNEL, 1, 100);
    EXPECT_FALSE(walk(joined({kernel, image_of(IMAGE_APPLICATION, 1, 7)})).found);
    EXPECT_FALSE(walk({}).found);
}

// Each of these would make the walk stand still, go backwards or circle; the application image
// after them is never reached and the file counts as holding no image.
TEST(FindImageHeader, MalformedLengthsEndTheWalk)
{
    std::vector<uint8_t> kernel = image_of(IMAGE_KERNEL, 1, 1000);
    std::vector<uint8_t> app = image_of(IMAGE_APPLICATION, 1, 100);
    auto malformed = [](std::vector<uint8_t> probe) {
        probe.resize(64, 0);
        return probe;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bad;
    };
    const Case cases[] = {
        {"total 0", malformed(raw_probe(0, IMAGE_KERNEL | MAGIC_FORMAT2_BIT, 0, 0, 0))},
        {"total under 24", malformed(raw_probe(4, IMAGE_KERNEL, 0, 0, 0))},
        {"header under 16", malformed(raw_probe(0xFFFFFFFCu, IMAGE_KERNEL | MAGIC_FORMAT2_BIT, 0, 4, 0))},
        {"negative format-3 payload", malformed(raw_probe(0, IMAGE_KERNEL, 0, FORMAT3_MARKER, 0xFFF0))},
        // From offset 1016, a total of 2^32 - 1016 lands on offset 0 again.
        {"wraps to the start", malformed(raw_probe(0xFFFFFFFFu - 1016 - 15, IMAGE_KERNEL, 0, 0, 0))},
    };
    for (const Case& c : cases) {
        WalkResult r = walk(joined({kernel, c.bad, app}));
        EXPECT_FALSE(r.runaway) << c.what;
        EXPECT_FALSE(r.found) << c.what;
        EXPECT_EQ(0, memcmp(r.header_copy, c.bad.data(), IMAGE_HEADER_SIZE)) << c.what;
    }
}

TEST(FindImageHeader, MalformedBootableImageIsNotFound)
{
    std::vector<uint8_t> bad = raw_probe(4, IMAGE_APPLICATION | MAGIC_FORMAT2_BIT, 0, 8, 0);
    bad.resize(100, 0);
    EXPECT_FALSE(walk(bad).found);
}

// ---- Installed headers -----------------------------------------------------------------------

namespace {

// The slot files have the absolute path "/user/images/imageN". The read runs in a child process
// whose root is a directory of the test's own, so nothing outside it is touched.
struct SlotRoot {
    std::filesystem::path root;

    SlotRoot()
    {
        char pattern[] = "/tmp/bm-slots-XXXXXX";
        root = mkdtemp(pattern);
        std::filesystem::create_directories(root / "user/images");
    }
    ~SlotRoot() { std::filesystem::remove_all(root); }

    void write_slot(int slot, const std::vector<uint8_t>& bytes) const
    {
        FILE* file = fopen((root / ("user/images/image" + std::to_string(slot))).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        if (!bytes.empty()) {
            ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        }
        fclose(file);
    }
};

struct ChildAnswer {
    bool ran = false;       // false when this machine cannot change a process's root
    bool result = false;
    uint8_t header[IMAGE_HEADER_SIZE] = {};
};

template <typename Body>
ChildAnswer in_root(const SlotRoot& slots, Body body)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return {};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        if (geteuid() != 0)
            unshare(CLONE_NEWUSER | CLONE_NEWNS);
        if (chroot(slots.root.c_str()) != 0 || chdir("/") != 0)
            _exit(3);
        uint8_t answer[1 + IMAGE_HEADER_SIZE] = {};
        answer[0] = body(answer + 1);
        _exit(write(pipe_fds[1], answer, sizeof answer) == ssize_t(sizeof answer) ? 0 : 4);
    }
    close(pipe_fds[1]);
    uint8_t answer[1 + IMAGE_HEADER_SIZE];
    ssize_t got = read(pipe_fds[0], answer, sizeof answer);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ChildAnswer result;
    result.ran = got == ssize_t(sizeof answer) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.result = answer[0] != 0;
    memcpy(result.header, answer + 1, IMAGE_HEADER_SIZE);
    return result;
}

ChildAnswer read_slot_header(const SlotRoot& slots, int slot)
{
    return in_root(slots, [slot](uint8_t* header) {
        memset(header, 0xAA, IMAGE_HEADER_SIZE);
        return read_installed_header(IMAGE_APPLICATION, header, slot);
    });
}

ChildAnswer same_slot_version(const SlotRoot& slots, const std::vector<uint8_t>& image, int slot)
{
    return in_root(slots, [&image, slot](uint8_t*) { return same_version(image.data(), slot); });
}

}  // namespace

TEST(ReadInstalledHeader, ApplicationComesFromTheSlotFile)
{
    SlotRoot slots;
    std::vector<uint8_t> image = image_of(IMAGE_APPLICATION, 0x01020304, 200, 3);
    slots.write_slot(2, image);
    slots.write_slot(1, {});
    slots.write_slot(3, {0x11, 0x22, 0x33, 0x44, 0x55});

    ChildAnswer two = read_slot_header(slots, 2);
    if (!two.ran)
        GTEST_SKIP() << "cannot give a child process its own root directory here";
    EXPECT_TRUE(two.result);
    EXPECT_EQ(0, memcmp(two.header, image.data(), IMAGE_HEADER_SIZE));

    // An empty slot file is an installed image of version 0.0.0.0.
    ChildAnswer one = read_slot_header(slots, 1);
    EXPECT_TRUE(one.result);
    const uint8_t zeros[IMAGE_HEADER_SIZE] = {};
    EXPECT_EQ(0, memcmp(one.header, zeros, IMAGE_HEADER_SIZE));
    char version[16];
    format_version(decode_image_header(one.header).id, version);
    EXPECT_STREQ(version, "0.0.0.0");

    // A short file fills what it has; the rest stays zero.
    ChildAnswer three = read_slot_header(slots, 3);
    EXPECT_TRUE(three.result);
    const uint8_t partial[IMAGE_HEADER_SIZE] = {0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(0, memcmp(three.header, partial, IMAGE_HEADER_SIZE));

    // A missing slot file: false, with the header zeroed.
    ChildAnswer four = read_slot_header(slots, 4);
    EXPECT_FALSE(four.result);
    EXPECT_EQ(0, memcmp(four.header, zeros, IMAGE_HEADER_SIZE));
}

TEST(ReadInstalledHeader, RefusesUnknownTypesAndMissingBuffers)
{
    uint8_t header[IMAGE_HEADER_SIZE];
    memset(header, 0xAA, sizeof header);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(read_installed_header(0x07504754, header, 1));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown image type 0x7504754 \n");
    const uint8_t zeros[IMAGE_HEADER_SIZE] = {};
    EXPECT_EQ(0, memcmp(header, zeros, IMAGE_HEADER_SIZE));
    EXPECT_FALSE(read_installed_header(IMAGE_KERNEL, nullptr, 1));
}

TEST(SameVersion, ApplicationComparesAllSixteenBytesOfItsSlot)
{
    SlotRoot slots;
    std::vector<uint8_t> installed = image_of(IMAGE_APPLICATION, 0x01020304, 200);
    slots.write_slot(1, installed);

    ChildAnswer same = same_slot_version(slots, installed, 1);
    if (!same.ran)
        GTEST_SKIP() << "cannot give a child process its own root directory here";
    EXPECT_TRUE(same.result);

    // Same version, other content: only the crc differs.
    std::vector<uint8_t> other_crc = installed;
    other_crc[3] ^= 1;
    EXPECT_FALSE(same_slot_version(slots, other_crc, 1).result);
    EXPECT_FALSE(same_slot_version(slots, image_of(IMAGE_APPLICATION, 0x01020305, 200), 1).result);
    EXPECT_FALSE(same_slot_version(slots, installed, 2).result) << "slot 2 is missing";
}

namespace {

// Writes bytes at an offset of a partition of the board, keeping the partition's size.
void put_in_partition(const TestBoard& board, const char* name, uint32_t offset,
                      const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> content = board.partition(name);
    ASSERT_GE(content.size(), offset + bytes.size());
    std::copy(bytes.begin(), bytes.end(), content.begin() + offset);
    board.set_partition(name, content);
}

std::vector<uint8_t> boot_loader_image(uint32_t id)
{
    ImageSpec spec;
    spec.type = IMAGE_BOOTLOADER;
    spec.id = id;
    spec.embed_header_copy = true;
    std::vector<uint8_t> payload(1000, 0x5A);
    return build_image(spec, payload);
}

// The boot loader is installed as its payload alone, so its header copy lands at byte 240.
void install_boot_loader(const TestBoard& board, const std::vector<uint8_t>& image)
{
    put_in_partition(board, "uboot", 0, std::vector<uint8_t>(image.begin() + 16, image.end()));
}

}  // namespace

TEST(ReadInstalledHeader, FlashTypesComeFromTheirPartitions)
{
    TestBoard board;
    struct Place {
        uint32_t type;
        const char* partition;
    };
    const Place places[] = {{IMAGE_KERNEL, "kernel"}, {IMAGE_ROOTFS, "rfs"},
                            {IMAGE_DEVICETREE, "devicetree"}, {IMAGE_DIAGNOSTICS, "rescue"}};
    std::vector<std::vector<uint8_t>> images;
    for (const Place& place : places) {
        images.push_back(image_of(place.type, place.type >> 24, 100 + place.type % 7, 2));
        put_in_partition(board, place.partition, 0, images.back());
    }
    std::vector<uint8_t> boot = boot_loader_image(0x07060504);
    install_boot_loader(board, boot);
    flash_open_partitions();

    uint8_t header[IMAGE_HEADER_SIZE];
    for (size_t i = 0; i < images.size(); i++) {
        memset(header, 0xAA, sizeof header);
        EXPECT_TRUE(read_installed_header(places[i].type, header, 1)) << places[i].partition;
        EXPECT_EQ(0, memcmp(header, images[i].data(), IMAGE_HEADER_SIZE)) << places[i].partition;
    }
    EXPECT_TRUE(read_installed_header(IMAGE_BOOTLOADER, header, 2));
    EXPECT_EQ(read_be32(header), 0u);
    EXPECT_EQ(0, memcmp(header + 4, boot.data() + 4, 12));
    EXPECT_EQ(decode_image_header(header).id, 0x07060504u);
}

TEST(ReadInstalledHeader, UnreadablePartitionGivesZerosAndTrue)
{
    TestBoard board;
    put_in_partition(board, "kernel", 0, image_of(IMAGE_KERNEL, 0x01010101, 50));
    flash_open_partitions();
    close(flash_partitions.kernel);
    flash_partitions.kernel = -1;

    uint8_t header[IMAGE_HEADER_SIZE];
    memset(header, 0xAA, sizeof header);
    capture_stdout([&] { EXPECT_TRUE(read_installed_header(IMAGE_KERNEL, header, 1)); });
    const uint8_t zeros[IMAGE_HEADER_SIZE] = {};
    EXPECT_EQ(0, memcmp(header, zeros, IMAGE_HEADER_SIZE));
}

TEST(SameVersion, BootLoaderLeavesTheCrcOut)
{
    TestBoard board;
    std::vector<uint8_t> installed = boot_loader_image(0x02000001);
    install_boot_loader(board, installed);
    flash_open_partitions();

    EXPECT_TRUE(same_version(installed.data(), 1));
    std::vector<uint8_t> other_crc = installed;
    other_crc[0] ^= 0xFF;
    EXPECT_TRUE(same_version(other_crc.data(), 1));
    EXPECT_FALSE(same_version(boot_loader_image(0x02000002).data(), 1));
    std::vector<uint8_t> other_len = installed;
    other_len[7] ^= 1;
    EXPECT_FALSE(same_version(other_len.data(), 1));
}

TEST(SameVersion, FlashImagesCompareAllSixteenBytes)
{
    TestBoard board;
    std::vector<uint8_t> installed = image_of(IMAGE_ROOTFS, 0x04000001, 300);
    put_in_partition(board, "rfs", 0, installed);
    flash_open_partitions();

    EXPECT_TRUE(same_version(installed.data(), 1));
    std::vector<uint8_t> other_crc = installed;
    other_crc[0] ^= 0x80;
    EXPECT_FALSE(same_version(other_crc.data(), 1));
    std::vector<uint8_t> other_id = installed;
    other_id[15] ^= 1;
    EXPECT_FALSE(same_version(other_id.data(), 1));
    // A format-2 header of the same version is a different header.
    EXPECT_FALSE(same_version(image_of(IMAGE_ROOTFS, 0x04000001, 300, 2).data(), 1));

    capture_stdout([&] {
        std::vector<uint8_t> unknown = installed;
        unknown[8] = 0x09;
        EXPECT_FALSE(same_version(unknown.data(), 1));
    });
}
