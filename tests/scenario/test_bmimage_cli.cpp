// The bmimage program as engineers use it: create, pack, info and extract, and its answers to
// bad input. bmimage is a host tool that touches only the files it is given.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"
#include "support/console_driver.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct ToolRun { int status; std::string out, err; };

std::vector<std::string> words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> all;
    for (std::string word; in >> word;)
        all.push_back(word);
    return all;
}

// A directory of the test's own, holding a 3000-byte "payload"; bmimage runs there.
class BmimageCli : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        char pattern[] = "/tmp/bmimage-cli-XXXXXX";
        dir = mkdtemp(pattern);
        Bytes payload(3000);
        for (size_t i = 0; i < payload.size(); i++)
            payload[i] = uint8_t(i * 37 + i / 256);
        put("payload", payload);
    }
    void TearDown() override { fs::remove_all(dir); }

    Bytes bytes(const std::string& name) { return read_binary_file(dir / name); }
    void put(const std::string& name, const Bytes& content) { write_binary_file(dir / name, content); }

    // Runs "bmimage ARGS" (split at spaces). A file size limit makes its writes fail part way.
    ToolRun run(const std::string& args, rlim_t file_size_limit = 0)
    {
        std::vector<std::string> argv_text = words(args);
        argv_text.insert(argv_text.begin(), BMIMAGE_PATH);
        std::vector<char*> argv;
        for (std::string& arg : argv_text)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{file_size_limit, file_size_limit};
            if (chdir(dir.c_str()) == 0 && freopen(".out", "w", stdout) && freopen(".err", "w", stderr) &&
                (file_size_limit == 0 || setrlimit(RLIMIT_FSIZE, &limit) == 0))
                execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ToolRun r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                  read_text_file(dir / ".out"), read_text_file(dir / ".err")};
        fs::remove(dir / ".out");
        fs::remove(dir / ".err");
        return r;
    }

    std::set<std::string> files()
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.insert(entry.path().filename());
        return names;
    }
};

size_t line_count(const std::string& text)
{
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

// The rows of `bmimage info` with their columns one space apart; the title row is left out.
std::vector<std::string> info_rows(const std::string& out)
{
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    std::vector<std::string> rows;
    while (std::getline(lines, line))
        rows.push_back(std::regex_replace(line, std::regex(" +"), " "));
    return rows;
}

}  // namespace

// Each image made by create is listed by info with its fields and a good CRC, and extract gives
// back its payload; then all of them packed are listed at their offsets.
TEST_F(BmimageCli, CreateInfoExtractAndPackInEveryFormat)
{
    const std::pair<std::string, std::string> cases[] = {
        {"--type kernel --version 1.2.3.4", "kernel 1 16 3000 3016 1.2.3.4 good"},
        {"--type rootfs --version 0.0.0.1 --format 2 --header-len 64", "rootfs 2 64 3000 3064 0.0.0.1 good"},
        {"--type application --version 255.254.0.7 --format 3 --set-bit31",
         "application 3 24 3000 3024 255.254.0.7 good"},
        {"--type bootloader --version 2.1.0.9", "bootloader 1 16 3000 3016 2.1.0.9 good"},
    };
    std::string images;
    std::vector<std::string> package_rows;
    uintmax_t offset = 0;
    for (const auto& [options, fields] : cases) {
        std::string image = "image" + std::to_string(package_rows.size());
        ToolRun create = run("create " + options + " -o " + image + " payload");
        ASSERT_EQ(create.status, 0) << create.err;
        EXPECT_EQ(create.err, "");
        ToolRun info = run("info " + image);
        EXPECT_EQ(info.status, 0) << info.err;
        EXPECT_EQ(info_rows(info.out), std::vector<std::string>{"0 0 " + fields}) << info.out;
        ASSERT_EQ(run("extract " + image + " 0 -o back").status, 0);
        EXPECT_EQ(bytes("back"), bytes("payload")) << options << ": a payload kept as given";

        package_rows.push_back(std::to_string(package_rows.size()) + " " + std::to_string(offset) + " " + fields);
        offset += fs::file_size(dir / image);
        images += " " + image;
    }
    // An unknown type shows as its raw value, bit 31 of a format-2 magic cleared.
    put("image4", build_image({.type = 0x00ABCDEF, .id = 0x01020304, .format = 2}, Bytes(8, 1)));
    package_rows.push_back("4 " + std::to_string(offset) + " 0x00abcdef 2 20 8 28 1.2.3.4 good");
    EXPECT_EQ(read_be32(&bytes("image2")[8]), 0x81504754u) << "--set-bit31";
    ASSERT_EQ(run("pack -o pkg" + images + " image4").status, 0);
    EXPECT_EQ(info_rows(run("info pkg").out), package_rows);
    ASSERT_EQ(run("extract pkg 2 -o back").status, 0);
    EXPECT_EQ(bytes("back"), bytes("payload"));

    // Asked to, the boot loader carries len, magic and id at payload byte 244; the crc is unknown.
    ASSERT_EQ(run("create --type bootloader --version 2.1.0.9 --embed-header-copy -o copy payload").status, 0);
    Bytes copy = bytes("copy");
    EXPECT_EQ(read_be32(&copy[16 + BOOTLOADER_HEADER_OFFSET]), 0u);
    EXPECT_TRUE(std::equal(&copy[4], &copy[16], &copy[16 + BOOTLOADER_HEADER_OFFSET + 4]));
}

// A flipped byte after the crc field shows as a bad CRC, or in the length as an image cut short;
// a trailing piece and a malformed header are reported too. Status 1 each time.
TEST_F(BmimageCli, DamagedAndMalformedFilesAreReportedWithStatus1)
{
    ASSERT_EQ(run("create --type application --version 1.2.3.4 --format 3 -o image payload").status, 0);
    // The image with extra zero bytes at its end and one byte flipped.
    auto damaged = [good = bytes("image")](size_t at, size_t extra = 0) {
        Bytes file(good.size() + extra, 0);
        std::copy(good.begin(), good.end(), file.begin());
        file[at] ^= 0x01;
        return file;
    };
    std::vector<std::pair<Bytes, std::string>> cases = {
        {damaged(7), "cut short"},
        {damaged(3024, 5), "trailing piece of 5 bytes at offset 3024"},
        {damaged(3024, 24), "malformed header at offset 3024"},
    };
    for (size_t at : {8, 11, 12, 15, 16, 20, 24, 1500, 3023})
        cases.push_back({damaged(at), "bad\n"});
    for (const auto& [file, shown] : cases) {
        put("damaged", file);
        ToolRun info = run("info damaged");
        EXPECT_EQ(info.status, 1) << shown;
        EXPECT_NE(info.out.find(shown), std::string::npos) << info.out;
        EXPECT_EQ(line_count(info.err), 1u) << info.err;
    }
}

// Every refusal: one line on standard error, a non-zero status, and no output file (nor a
// temporary one) left behind. The same for a write that fails part way (at the file size limit),
// which also keeps an existing output as it was.
TEST_F(BmimageCli, BadInputIsRefusedWithOneLineAndNoOutput)
{
    ASSERT_EQ(run("create --type kernel --version 1.2.3.4 -o image payload").status, 0);
    put("junk", {1, 2, 3});
    put("huge", {});
    fs::resize_file(dir / "huge", (uintmax_t(1) << 32) + 1);  // a sparse payload just beyond 32 bits
    const std::set<std::string> before = files();
    const std::string create = "create --type kernel --version 1.2.3.4 ";
    const std::string refused[] = {
        // An unreadable payload, one beyond 32 bits, an output that cannot be written.
        create + "-o out missing", create + "-o out huge", create + "-o nodir/out payload",
        // An unknown type name, versions not a.b.c.d with parts 0 to 255.
        "create --type kernal --version 1.2.3.4 -o out payload",
        "create --type kernel --version 1.2.3 -o out payload",
        "create --type kernel --version 1.2.3.256 -o out payload",
        // Options that do not fit the format or the type, or are unknown; arguments missing or extra.
        create + "--format 4 -o out payload", create + "--format 2 --header-len 19 -o out payload",
        create + "--header-len 32 -o out payload", create + "--set-bit31 -o out payload",
        create + "--embed-header-copy -o out payload", create + "--colour -o out payload", create + "payload",
        create + "-o out payload payload",
        // The other commands: unreadable or unfit inputs, an index beyond the package, arguments
        // missing; an unknown command, none at all.
        "pack -o out image missing", "pack -o out image junk", "pack -o out", "info missing",
        "extract image 1 -o out", "extract image -1 -o out", "extract image 0", "frobnicate", "",
    };
    for (const std::string& args : refused) {
        ToolRun r = run(args);
        EXPECT_NE(r.status, 0) << args;
        EXPECT_EQ(line_count(r.err), 1u) << args << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("bmimage: ", 0), 0u) << args << "\n" << r.err;
        EXPECT_EQ(files(), before) << args;
    }

    ToolRun cut = run(create + "-o out payload", 1024);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(line_count(cut.err), 1u) << cut.err;
    EXPECT_EQ(files(), before);
    put("out", {'o', 'l', 'd'});
    EXPECT_EQ(run(create + "-o out payload", 1024).status, 1);
    EXPECT_EQ(read_text_file(dir / "out"), "old");
}

TEST_F(BmimageCli, HelpOnTheProgramAndEveryCommand)
{
    for (const char* args : {"--help", "create --help", "pack --help", "info --help", "extract --help"}) {
        ToolRun r = run(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out.rfind("usage: bmimage", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_NE(run("create --help").out.find("--embed-header-copy"), std::string::npos);
}
