// The bmimage program as engineers use it: create, pack, info and extract, and its answers to
// damaged files and bad input. The image builder and package listing underneath are covered by
// the unit tests.
// Faults tried (in tools/bmimage, then reverted): --set-bit31 or --embed-header-copy ignored ->
// BmimageCli.CreateInfoExtractAndPackInEveryFormat fails; info passing a malformed header ->
// BmimageCli.DamagedFilesAndBadInputAreReportedWithOneLineAndNoOutput fails, and so do create
// taking a 19-byte image and info listing a foreign file as an image; no refusal of a device node,
// FIFO, symbolic link or read-only file at OUT, the mode of a replaced OUT not kept, padding not
// stepped over, extract ignoring a bad CRC without --force, the stored CRC shown as computed ->
// BmimageCli.OutputKindsCrcColumnsJsonAndForcedExtract fails; diagnostics payloads left
// unchecked, or erased flash after the last image not stepped over ->
// BmimageCli.ImagesOfADirectoryWarningsStandardInputAndErasedFlash fails.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

std::string crc_text(const Bytes& image) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", read_be32(image.data()));
    return text;
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
        {"--type=kernel --version 1.2.3.4", build_image({.type = IMAGE_KERNEL, .id = 0x01020304}, payload),
         "kernel 1 16 3000 3016 1.2.3.4"},
        {"--type rootfs --version 0.0.0.1 --format 2 --header-len 64",
         build_image({.type = IMAGE_ROOTFS, .id = 1, .format = 2, .header_len = 64}, payload),
         "rootfs 2 64 3000 3064 0.0.0.1"},
        {"--type application --version 255.254.0.7 --format 3 --set-bit31",
         build_image({.type = IMAGE_APPLICATION, .id = 0xFFFE0007, .format = 3, .set_bit31 = true}, payload),
         "application 3 24 3000 3024 255.254.0.7"},
        {"--type bootloader --version 2.1.0.9 --embed-header-copy",
         build_image({.type = IMAGE_BOOTLOADER, .id = 0x02010009, .embed_header_copy = true}, payload),
         "bootloader 1 16 3000 3016 2.1.0.9"},
        {"", build_image({.type = 0x00ABCDEF, .id = 0x01020304, .format = 2}, payload),
         "0x00abcdef 2 20 3000 3020 1.2.3.4"}};
    std::string images, rows;
    Bytes package;
    for (int i = 0; const auto& [options, expected, fields] : cases) {
        std::string image = "image" + std::to_string(i);
        if (options.empty())
            put(image, expected);
        else
            ASSERT_EQ(run("create " + options + " -o" + image + " -- payload"), 0) << err;
        EXPECT_EQ(bytes(image), expected) << options;
        rows += std::to_string(i++) + " " + std::to_string(package.size()) + " " + fields + " " + crc_text(expected) +
                " " + crc_text(expected) + " ok\n";
        package.insert(package.end(), expected.begin(), expected.end());
        images += " " + image;
    }
    ASSERT_EQ(run("pack --output=pkg" + images), 0) << err;
    EXPECT_EQ(bytes("pkg"), package);
    EXPECT_EQ(run("info pkg"), 0);
    EXPECT_EQ(info_rows(out), rows);
    for (size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_EQ(run("extract pkg " + std::to_string(i) + " -o back"), 0) << err;
        EXPECT_EQ(bytes("back"), Bytes(cases[i].image.end() - 3000, cases[i].image.end())) << i;  // as stored
    }
}

// Damaged and malformed files are reported by info with status 1, a wrong command line with
// status 2: one line on standard error each time, and no output file (nor a temporary one) left
// behind. A flipped byte after the crc field shows as a bad CRC, or in the length as an image cut
// short; a trailing piece and a malformed header after the image are reported too.
TEST_F(BmimageCli, DamagedFilesAndBadInputAreReportedWithOneLineAndNoOutput) {
    const Bytes good = build_image({.type = IMAGE_APPLICATION, .id = 0x01020304, .format = 3}, payload);
    put("image", good);
    put("seven", Bytes(7, 1));
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
    // the arguments, the exit status and what bmimage shows
    const std::tuple<std::string, int, std::string> cases[] = {
        {"info short", 1, "cut short"},
        {"info crc", 1, "bad\n"},
        {"info trailing", 1, "trailing piece of 5 bytes at offset 3024"},
        {"info malformed", 1, "malformed header at offset 3024"},
        {"info payload", 1, "'payload': not an image"},
        {create + "-o out seven", 1, "7 bytes make an image of 23 bytes, under the 24"},
        {create + "-o out missing", 1, "cannot read 'missing': No such file"},
        {create + "-o out huge", 1, "'huge' is too large"},
        {create + "-o nodir/out payload", 1, "cannot write 'nodir/out': No such file"},
        {"create --type kernal --version 1.2.3.4 -o out payload", 2, "'kernal'"},
        {"create --type kernel --version 1.2.3.256 -o out payload", 2, "'1.2.3.256'"},
        {create + "--format 4 -o out payload", 2, "'4'"},
        {create + "--format 2 --header-len 19 -o out payload", 2, "header length 19"},
        {create + "--frob -o out payload", 2, "unknown option '--frob'"},
        {create + "payload -o", 2, "option '-o' needs a value"},
        {create + "payload", 2, "'--output' is required"},
        {"pack -o out image missing", 1, "'missing'"},
        {"extract image 1 -o out", 1, "index 1 is beyond"},
        {"frobnicate", 2, "'frobnicate'"},
        {"", 2, "no command"}};
    for (const auto& [args, status, shown] : cases) {
        EXPECT_EQ(run(args), status) << args;
        EXPECT_TRUE(has(out + err, {shown}));
        EXPECT_TRUE(err.starts_with("bmimage: ") && count_of(err, "\n") == 1) << args << "\n" << err;
        EXPECT_EQ(file_names(dir), before) << args;
    }
}

// OUT is written only where it is missing or a writable regular file, whose mode is kept;
// anything else is refused and left as it was, '-' is standard output. info shows both CRCs
// of each image in its rows and its JSON, steps over XMODEM padding, and extract refuses a bad
// CRC unless forced.
TEST_F(BmimageCli, OutputKindsCrcColumnsJsonAndForcedExtract) {
    const Bytes good = build_image({.type = IMAGE_KERNEL, .id = 0x01020304}, payload);
    Bytes bad = joined({good, good});
    bad.back() ^= 1;
    Bytes second(bad.begin() + 3016, bad.end());
    write_be32(second.data(), crc32_update(&second[4], 3012, 0xFFFFFFFFu));
    const std::string crc = crc_text(good), computed = crc_text(second);  // the second image's CRC as computed
    const Bytes padded = joined({good, Bytes(1000, 0x1A)});
    put("good", good), put("bad", bad), put("padded", padded), put("readonly", {1}), put("kept", {2});
    fs::permissions(dir + "/readonly", fs::perms::owner_read), fs::permissions(dir + "/kept", fs::perms(0640));
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644) | symlink("target", (dir + "/link").c_str()) |
                  mkdir((dir + "/folder").c_str(), 0755),
              0);
    bool root = geteuid() == 0;  // a private device node, never the host's own
    ASSERT_TRUE(!root || mknod((dir + "/node").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) << strerror(errno);
    const std::string create = "create --type kernel --version 1.2.3.4 payload -o ";
    // the arguments, the exit status and what is shown on standard output and error
    std::vector<std::tuple<std::string, int, std::string>> cases = {
        {create + "fifo", 1, "cannot write 'fifo': it is a FIFO"},
        {create + "link", 1, "cannot write 'link': it is a symbolic link"},
        {create + "folder", 1, "cannot write 'folder': it is a directory"},
        {create + "readonly", 1, "cannot write 'readonly': it is read-only"},
        {create + "kept", 0, ""},
        {"info good", 0, "0 0 kernel 1 16 3000 3016 1.2.3.4 " + crc + " " + crc + " ok\n"},
        {"info bad", 1, "1 3016 kernel 1 16 3000 3016 1.2.3.4 " + crc + " " + computed + " bad\n"},
        {"info padded", 0, "ok\n1000 bytes of XMODEM padding (0x1a) at offset 3016, stepped over"},
        {"info --json good", 0, "[\n{\"index\": 0, \"offset\": 0, \"format\": 1, \"header_length\": 16, "},
        {"info --json bad", 1,
         "true},\n{\"index\": 1, \"offset\": 3016, \"format\": 1, \"header_length\": 16, \"payload_length\": 3000, "
         "\"type\": \"kernel\", \"version\": \"1.2.3.4\", \"stored_crc\": \"" +
             crc + "\", \"computed_crc\": \"" + computed + "\", \"ok\": false}\n]\n"},
        {"info --json padded", 0, "\"ok\": true}\n]\n1000 bytes of XMODEM padding"},
        {"extract bad 1 -o x", 1, "'bad': image 1 has a bad CRC (stored " + crc + ", computed " + computed + ")"},
        {"extract --force bad 1 -o x", 0, "warning: 'bad': image 1 has a bad CRC"}};
    if (root) cases.push_back({create + "node", 1, "cannot write 'node': it is a device node"});
    for (const auto& [args, status, shown] : cases) {
        EXPECT_EQ(run(args), status) << args << "\n" << err;
        EXPECT_TRUE(has(std::regex_replace(out, std::regex(" +"), " ") + err, {shown})) << args;
    }
    EXPECT_EQ(std::pair(run(create + "-"), out), std::pair(0, std::string(good.begin(), good.end())));
    EXPECT_EQ(std::tuple(bytes("kept"), fs::status(dir + "/kept").permissions(), bytes("readonly")),
              std::tuple(good, fs::perms(0640), Bytes{1}));
    EXPECT_EQ(bytes("x"), Bytes(bad.end() - 3000, bad.end()));
    EXPECT_TRUE(fs::is_fifo(dir + "/fifo") && fs::is_symlink(dir + "/link") && !fs::exists(dir + "/target") &&
                fs::is_directory(dir + "/folder") && (!root || fs::is_character_file(dir + "/node")));
}

// An application or diagnostics image is made of a directory, as the gzip tar of its entries;
// a payload the switch could not start is made all the same, with a warning naming what is
// missing. info reads standard input and steps over the erased flash after the last image of a
// partition's dump, which pack refuses. A number that is none names the command.
TEST_F(BmimageCli, ImagesOfADirectoryWarningsStandardInputAndErasedFlash) {
    fs::create_directories(dir + "/app/home/bin");
    put("app/home/bin/distro-id", {'x'});
    put("app/home/bin/mp.elf.strip", {'y'});
    EXPECT_EQ(run("create --type application --version 1.2.3.4 -o app.img app"), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(run_command("cd " + dir + " && " BMIMAGE_PATH " extract app.img 0 -o - | tar tz", &out), 0);
    EXPECT_EQ(out, "home/\nhome/bin/\nhome/bin/distro-id\nhome/bin/mp.elf.strip\n");
    EXPECT_EQ(run("create --type diagnostics --version 1.2.3.4 -o diag.img app"), 0);
    EXPECT_EQ(err, "bmimage: warning: payload 'app': it holds no mpdiag.elf.strip, which the switch starts\n");
    EXPECT_EQ(run("create --type application --version 1.2.3.4 -o plain.img payload"), 0);
    EXPECT_TRUE(has(err, {"bmimage: warning: payload 'payload': it is not a gzip-compressed tar"}));
    EXPECT_EQ(run("create --type kernel --version 1.2.3.4 -o kernel.img app"), 1);
    EXPECT_FALSE(fs::exists(dir + "/kernel.img"));

    put("dump", joined({bytes("app.img"), Bytes(4096, 0xFF)}));
    EXPECT_EQ(run("info - < dump"), 0);
    EXPECT_TRUE(has(info_rows(out), {"0 0 application 1 16"}));
    EXPECT_EQ(err, "bmimage: note: 4096 bytes of erased flash (0xff) at offset " +
                       std::to_string(bytes("app.img").size()) + ", stepped over\n");
    EXPECT_EQ(run("pack -o package dump"), 1);
    EXPECT_TRUE(has(err, {"4096 bytes of erased flash"}));
    EXPECT_EQ(run("extract app.img abc -o x"), 2);
    EXPECT_EQ(err,
              "bmimage: extract: index 'abc' is not a number from 0 to 4294967295 (see 'bmimage extract --help')\n");
}

// Every command given a folder, a missing file or one that cannot be opened even by root (a
// symbolic link to itself) says so in one line and exits with 1.
TEST_F(BmimageCli, EveryCommandReportsAFolderAMissingOrALoopingFileInOneLine) {
    fs::create_directories(dir + "/folder");
    fs::create_symlink("loop", dir + "/loop");
    for (std::string bad : {"folder", "missing", "loop"})
        for (std::string command :
             {"create --type kernel --version 1.0.0.0 -o x ", "pack -o x ", "info ", "info --json ", "extract -o x "}) {
            EXPECT_EQ(run(command + bad + (command.starts_with("extract") ? " 0" : "")), 1) << command << bad;
            EXPECT_TRUE(err.starts_with("bmimage: cannot read '" + bad + "': ") && count_of(err, "\n") == 1) << err;
        }
}

}  // namespace
