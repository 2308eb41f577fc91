// Reading and verifying the image that the slot boot found. Faults tried and the test that caught
// them:
//   - removing the check of the claimed total against what the file holds (the allocation of
//     the claimed length fails and says so): ReadVerifiedImage.TableOfFiles
//   - comparing the CRC over the payload only (from the header length): ReadVerifiedImage.TableOfFiles
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "store/slot_boot.h"
#include "support/bytes.h"

namespace {

// A file whose image starts after a 7-byte lead; the found image says what the walk gave.
TEST(ReadVerifiedImage, TableOfFiles) {
    Bytes image = build_image({.format = 2}, Bytes(5000, 0x3C));
    Bytes flipped = image, huge = image;
    flipped[4000] ^= 1;
    write_be32(&huge[4], 0xFFFFFF00);  // a total far past the file, without a wrap
    const struct {
        const char* what;
        Bytes file;
        bool good;
    } cases[] = {{"whole", image, true},
                 {"flipped byte", flipped, false},
                 {"cut short", Bytes(image.begin(), image.end() - 1), false},
                 {"claims 4 GiB", huge, false}};
    for (const auto& c : cases) {
        Bytes file(7, 0xEE);
        file.insert(file.end(), c.file.begin(), c.file.end());
        PackageWalk walk = walk_buffer(file.data() + 7, file.size() - 7);
        FoundImage found;
        ASSERT_EQ(walk_next(&walk, &found), WALK_IMAGE) << c.what;
        FILE* input = tmpfile();
        fwrite(file.data(), 1, file.size(), input);
        fseek(input, 7, SEEK_SET);
        uint8_t* read = nullptr;
        bool good = false;
        testing::internal::CaptureStderr();
        good = read_verified_image(input, found, &read);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.what;
        EXPECT_EQ(good, c.good) << c.what;
        EXPECT_EQ(read != nullptr, c.good) << c.what;
        if (read) {
            EXPECT_EQ(Bytes(read, read + image.size()), image) << c.what;
        }
        free(read);
        fclose(input);
    }
}

}  // namespace
