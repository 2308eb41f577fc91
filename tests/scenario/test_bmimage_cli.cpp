// The bmimage program as engineers use it: create, pack, info and extract, and its answers to
// damaged files and bad input. The image builder and package listing underneath are covered by
// the unit tests.
// Faults tried (in tools/bmimage, then reverted): --set-bit31 or --embed-header-copy ignored ->
// BmimageCli.CreateInfoExtractAndPackInEveryFormat fails; info passing a malformed header ->
// BmimageCli.DamagedFilesAndBadInputAreReportedWithOneLineAndNoOutput fails.
#include <regex>

#include "scenario_board.h"

namespace {

// bmimage runs in a folder of the test's own holding a 3000-byte "payload"; what it prints on
// standard error goes to a file beside that folder.
struct BmimageCli : testing::Test {
    std::string dir = temp_dir("bmimage-cli"), out, err;  // out, err: the last run's standard output and error
    Bytes payload = pattern_bytes(3000, 1);

    void SetUp() override { put("payload", payload); }
    void TearDown() override { fs::remove_all(dir), fs::remove(dir + ".err"); }
    Bytes bytes(const std::string& name) { return read_binary_file(dir + "/" + name); }
    void put(const std::string& name, const Bytes& content) { write_binary_file(dir + "/" + name, content); }

    // Runs "bmimage ARGS" and returns its exit status.
    int run(const std::string& args) {
        int status = run_command("cd " + dir + " && exec " BMIMAGE_PATH " " + args + " 2>" + dir + ".err", &out);
        err = read_text_file(dir + ".err");
        return status;
    }
};

// The rows of `bmimage info` with their columns one space apart; the title row is left out.
std::string info_rows(const std::string& out) {
    std::string rows = std::regex_replace(out, std::regex(" +"), " ");
    return rows.substr(rows.find('\n') + 1);
}

// Each image made by create is the one its options describe. All of them packed, with an image of
// a type unknown to create (shown as its raw value), are listed by info at their offsets with
// their fields and a good CRC, and extract gives back each payload (the boot loader's with the
// header copy).
TEST_F(BmimageCli, CreateInfoExtractAndPackInEveryFormat) {
    // the options, the image they describe, and its row in the listing
    struct Case {
        std::string options;
        Bytes image;
        std::string fields;
    };
    const Case cases[] = {
        {"--type kernel --version 1.2.3.4", build_image({.type = IMAGE_KERNEL, .id = 0x01020304}, payload),
         "kernel 1 16 3000 3016 1.2.3.4 good"},
        {"--type rootfs --version 0.0.0.1 --format 2 --header-len 64",
         build_image({.type = IMAGE_ROOTFS, .id = 1, .format = 2, .header_len = 64}, payload),
         "rootfs 2 64 3000 3064 0.0.0.1 good"},
        {"--type application --version 255.254.0.7 --format 3 --set-bit31",
         build_image({.type = IMAGE_APPLICATION, .id = 0xFFFE0007, .format = 3, .set_bit31 = true}, payload),
         "application 3 24 3000 3024 255.254.0.7 good"},
        {"--type bootloader --version 2.1.0.9 --embed-header-copy",
         build_image({.type = IMAGE_BOOTLOADER, .id = 0x02010009, .embed_header_copy = true}, payload),
         "bootloader 1 16 3000 3016 2.1.0.9 good"},
        {"", build_image({.type = 0x00ABCDEF, .id = 0x01020304, .format = 2}, payload),
         "0x00abcdef 2 20 3000 3020 1.2.3.4 good"}};
    std::string images, rows;
    Bytes package;
    for (int i = 0; const auto& [options, expected, fields] : cases) {
        std::string image = "image" + std::to_string(i);
        if (options.empty())
            put(image, expected);
        else
            ASSERT_EQ(run("create " + options + " -o " + image + " payload"), 0) << err;
        EXPECT_EQ(bytes(image), expected) << options;
        rows += std::to_string(i++) + " " + std::to_string(package.size()) + " " + fields + "\n";
        package.insert(package.end(), expected.begin(), expected.end());
        images += " " + image;
    }
    ASSERT_EQ(run("pack -o pkg" + images), 0) << err;
    EXPECT_EQ(bytes("pkg"), package);
    EXPECT_EQ(run("info pkg"), 0);
    EXPECT_EQ(info_rows(out), rows);
    for (size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_EQ(run("extract pkg " + std::to_string(i) + " -o back"), 0) << err;
        EXPECT_EQ(bytes("back"), Bytes(cases[i].image.end() - 3000, cases[i].image.end())) << i;  // as stored
    }
}

// Damaged and malformed files are reported by info with status 1, and bad input is refused with
// a non-zero status: one line on standard error each time, and no output file (nor a temporary
// one) left behind. A flipped byte after the crc field shows as a bad CRC, or in the length as an
// image cut short; a trailing piece and a malformed header after the image are reported too.
TEST_F(BmimageCli, DamagedFilesAndBadInputAreReportedWithOneLineAndNoOutput) {
    const Bytes good = build_image({.type = IMAGE_APPLICATION, .id = 0x01020304, .format = 3}, payload);
    put("image", good);
    // the file name, the byte flipped, and bytes added to the image first: zeros, or for the
    // malformed header 0xFF, whose total wraps past 2^32
    const std::tuple<std::string, size_t, size_t> damages[] = {
        {"short", 7, 0}, {"crc", 12, 0}, {"trailing", 3024, 5}, {"malformed", 3024, 24}};
    for (auto [name, at, extra] : damages) {
        Bytes file = good;
        file.resize(good.size() + extra, name == "malformed" ? 0xFF : 0);
        file[at] ^= 0x01;
        put(name, file);
    }
    put("huge", {});
    fs::resize_file(dir + "/huge", (uintmax_t(1) << 32) + 1);  // a sparse payload just beyond 32 bits
    const std::vector<std::string> before = file_names(dir);
    const std::string create = "create --type kernel --version 1.2.3.4 ";
    // the arguments, and for a damaged file what info shows
    const std::pair<std::string, std::string> cases[] = {
        {"info short", "cut short"},
        {"info crc", "bad\n"},
        {"info trailing", "trailing piece of 5 bytes at offset 3024"},
        {"info malformed", "malformed header at offset 3024"},
        {create + "-o out missing", ""},
        {create + "-o out huge", ""},
        {create + "-o nodir/out payload", ""},
        {"create --type kernal --version 1.2.3.4 -o out payload", ""},
        {"create --type kernel --version 1.2.3.256 -o out payload", ""},
        {create + "--format 4 -o out payload", ""},
        {create + "--format 2 --header-len 19 -o out payload", ""},
        {create + "payload", ""},
        {"pack -o out image missing", ""},
        {"extract image 1 -o out", ""},
        {"frobnicate", ""},
        {"", ""}};
    for (const auto& [args, shown] : cases) {
        int status = run(args);
        EXPECT_TRUE(shown.empty() ? status != 0 : status == 1) << args << ": " << status;
        EXPECT_TRUE(has(out, {shown}));
        EXPECT_TRUE(err.starts_with("bmimage: ") && count_of(err, "\n") == 1) << args << "\n" << err;
        EXPECT_EQ(file_names(dir), before) << args;
    }
}

}  // namespace
