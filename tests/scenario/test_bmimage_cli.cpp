// The bmimage program as engineers use it: create, pack, info and extract, and its answers to
// bad input. The image builder and package listing underneath are covered by the unit tests.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "bmimage/image_builder.h"
#include "image/image_header.h"
#include "support/console_driver.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct ToolRun { int status; std::string out, err; };

// bmimage runs in a folder of the test's own holding a 3000-byte "payload"; what it prints goes
// beside that folder.
struct BmimageCli : testing::Test {
    std::string top = [] { char pattern[] = "/tmp/bmimage-cli-XXXXXX"; return std::string(mkdtemp(pattern)); }();
    std::string dir = top + "/work";

    void SetUp() override {
        fs::create_directory(dir);
        Bytes payload(3000);
        for (size_t i = 0; i < payload.size(); i++) payload[i] = uint8_t(i * 37 + i / 256);
        put("payload", payload);
    }
    void TearDown() override { fs::remove_all(top); }
    Bytes bytes(const std::string& name) { return read_binary_file(dir + "/" + name); }
    void put(const std::string& name, const Bytes& content) { write_binary_file(dir + "/" + name, content); }

    // Runs "bmimage ARGS". A file size limit (in blocks of 512 bytes) makes its writes fail part way.
    ToolRun run(const std::string& args, int size_limit = 0) {
        std::string limit = size_limit ? "trap '' XFSZ && ulimit -f " + std::to_string(size_limit) + " && " : "";
        std::string command = "cd " + dir + " && " + limit + "exec " BMIMAGE_PATH " " + args + " >../out 2>../err";
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text_file(top + "/out"),
                read_text_file(top + "/err")};
    }
    std::set<std::string> files() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
        return names;
    }
};

size_t line_count(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

// The rows of `bmimage info` with their columns one space apart; the title row is left out.
std::vector<std::string> info_rows(const std::string& out) {
    std::istringstream lines(out);
    std::vector<std::string> rows;
    std::string line;
    for (std::getline(lines, line); std::getline(lines, line);)
        rows.push_back(std::regex_replace(line, std::regex(" +"), " "));
    return rows;
}

// Each image made by create is listed by info with its fields and a good CRC, and extract gives
// back its payload; then all of them packed are listed at their offsets.
TEST_F(BmimageCli, CreateInfoExtractAndPackInEveryFormat) {
    const std::pair<std::string, std::string> cases[] = {
        {"--type kernel --version 1.2.3.4", "kernel 1 16 3000 3016 1.2.3.4 good"},
        {"--type rootfs --version 0.0.0.1 --format 2 --header-len 64", "rootfs 2 64 3000 3064 0.0.0.1 good"},
        {"--type application --version 255.254.0.7 --format 3 --set-bit31",
         "application 3 24 3000 3024 255.254.0.7 good"},
    };
    std::string images;
    std::vector<std::string> package_rows;
    uintmax_t offset = 0;
    for (const auto& [options, fields] : cases) {
        std::string image = "image" + std::to_string(package_rows.size());
        ToolRun create = run("create " + options + " -o " + image + " payload");
        ASSERT_EQ(create.status, 0) << create.err;
        ToolRun info = run("info " + image);
        EXPECT_EQ(info.status, 0) << info.err;
        EXPECT_EQ(info_rows(info.out), std::vector<std::string>{"0 0 " + fields}) << info.out;
        ASSERT_EQ(run("extract " + image + " 0 -o back").status, 0);
        EXPECT_EQ(bytes("back"), bytes("payload")) << options;
        package_rows.push_back(std::to_string(package_rows.size()) + " " + std::to_string(offset) + " " + fields);
        offset += fs::file_size(dir + "/" + image);
        images += " " + image;
    }
    EXPECT_EQ(read_be32(&bytes("image2")[8]), 0x81504754u) << "--set-bit31";
    // An unknown type shows as its raw value.
    put("image3", build_image({.type = 0x00ABCDEF, .id = 0x01020304, .format = 2}, Bytes(8, 1)));
    package_rows.push_back("3 " + std::to_string(offset) + " 0x00abcdef 2 20 8 28 1.2.3.4 good");
    ASSERT_EQ(run("pack -o pkg" + images + " image3").status, 0);
    EXPECT_EQ(info_rows(run("info pkg").out), package_rows);
    ASSERT_EQ(run("extract pkg 2 -o back").status, 0);
    EXPECT_EQ(bytes("back"), bytes("payload"));

    // Asked to, the boot loader carries len, magic and id at payload byte 244.
    ASSERT_EQ(run("create --type bootloader --version 2.1.0.9 --embed-header-copy -o copy payload").status, 0);
    Bytes copy = bytes("copy");
    EXPECT_TRUE(std::equal(&copy[4], &copy[16], &copy[16 + BOOTLOADER_HEADER_OFFSET + 4]));
}

// A flipped byte after the crc field shows as a bad CRC, or in the length as an image cut short;
// a trailing piece and a malformed header are reported too. Status 1 each time.
TEST_F(BmimageCli, DamagedAndMalformedFilesAreReportedWithStatus1) {
    ASSERT_EQ(run("create --type application --version 1.2.3.4 --format 3 -o image payload").status, 0);
    // The image with extra bytes at its end and one byte flipped. 24 bytes of 0xFF read as a
    // header whose total wraps past 2^32.
    auto damaged = [good = bytes("image")](size_t at, size_t extra = 0, uint8_t fill = 0) {
        Bytes file = good;
        file.resize(good.size() + extra, fill);
        file[at] ^= 0x01;
        return file;
    };
    const std::pair<Bytes, std::string> cases[] = {
        {damaged(7), "cut short"}, {damaged(12), "bad\n"}, {damaged(1500), "bad\n"},
        {damaged(3024, 5), "trailing piece of 5 bytes at offset 3024"},
        {damaged(3024, 24, 0xFF), "malformed header at offset 3024"}};
    for (const auto& [file, shown] : cases) {
        put("damaged", file);
        ToolRun info = run("info damaged");
        EXPECT_EQ(info.status, 1) << shown;
        EXPECT_TRUE(info.out.find(shown) != std::string::npos) << info.out;
        EXPECT_EQ(line_count(info.err), 1u) << info.err;
    }
}

// Every refusal: one line on standard error, a non-zero status, and no output file (nor a
// temporary one) left behind. A write that fails part way also keeps an existing output as it was.
TEST_F(BmimageCli, BadInputIsRefusedWithOneLineAndNoOutput) {
    ASSERT_EQ(run("create --type kernel --version 1.2.3.4 -o image payload").status, 0);
    put("huge", {});
    fs::resize_file(dir + "/huge", (uintmax_t(1) << 32) + 1);  // a sparse payload just beyond 32 bits
    const std::set<std::string> before = files();
    const std::string create = "create --type kernel --version 1.2.3.4 ";
    const std::string refused[] = {
        create + "-o out missing", create + "-o out huge", create + "-o nodir/out payload",
        "create --type kernal --version 1.2.3.4 -o out payload",
        "create --type kernel --version 1.2.3.256 -o out payload",
        create + "--format 4 -o out payload", create + "--format 2 --header-len 19 -o out payload", create + "payload",
        "pack -o out image missing", "info missing", "extract image 1 -o out", "frobnicate", ""};
    for (const std::string& args : refused) {
        ToolRun r = run(args);
        EXPECT_NE(r.status, 0) << args;
        EXPECT_EQ(line_count(r.err), 1u) << args << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("bmimage: ", 0), 0u) << args << "\n" << r.err;
        EXPECT_EQ(files(), before) << args;
    }
    EXPECT_EQ(run(create + "-o out payload", 2).status, 1);
    EXPECT_EQ(files(), before);
    put("out", {'o', 'l', 'd'});
    EXPECT_EQ(run(create + "-o out payload", 2).status, 1);
    EXPECT_EQ(read_text_file(dir + "/out"), "old");
}

TEST_F(BmimageCli, HelpOnTheProgramAndEveryCommand) {
    for (const char* args : {"--help", "create --help", "pack --help", "info --help", "extract --help"}) {
        ToolRun r = run(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out.rfind("usage: bmimage", 0), 0u) << r.out;
    }
}

}  // namespace
