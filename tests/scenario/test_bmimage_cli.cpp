// The bmimage program as engineers use it: create, pack, info and extract, and its answers to
// bad input. bmimage is a host tool that touches only the files it is given.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "image/image_header.h"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string file_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> file_bytes(const fs::path& path)
{
    std::string text = file_text(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

void put_file(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

size_t line_count(const std::string& text)
{
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

// A directory of the test's own; every command runs with it as the working directory.
class BmimageCli : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        char pattern[] = "/tmp/bmimage-cli-XXXXXX";
        dir = mkdtemp(pattern);
        std::vector<uint8_t> payload(3000);
        for (size_t i = 0; i < payload.size(); i++)
            payload[i] = uint8_t(i * 37 + i / 256);
        put_file(dir / "payload", payload);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs bmimage in the test's directory. A file size limit makes its writes fail part way.
    ToolRun run(std::vector<std::string> args, off_t file_size_limit = 0)
    {
        args.insert(args.begin(), BMIMAGE_PATH);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::string out = (dir / ".stdout").string(), err = (dir / ".stderr").string();
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            bool ready = freopen(out.c_str(), "w", stdout) && freopen(err.c_str(), "w", stderr) &&
                         chdir(dir.c_str()) == 0;
            if (ready && file_size_limit > 0) {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit{rlim_t(file_size_limit), rlim_t(file_size_limit)};
                ready = setrlimit(RLIMIT_FSIZE, &limit) == 0;
            }
            if (ready)
                execv(argv[0], argv.data());
            _exit(127);
        }
        ToolRun result;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid)
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = file_text(out);
        result.err = file_text(err);
        fs::remove(out);
        fs::remove(err);
        return result;
    }

    // The rows of `bmimage info`, split into their columns; the title row is left out.
    std::vector<std::vector<std::string>> info_rows(const std::string& out)
    {
        std::vector<std::vector<std::string>> rows;
        std::istringstream lines(out);
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::vector<std::string> row;
            for (std::string word; words >> word;)
                row.push_back(word);
            rows.push_back(row);
        }
        return rows;
    }

    std::vector<std::string> files_in_dir()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

using Row = std::vector<std::string>;

}  // namespace

TEST_F(BmimageCli, CreateInfoExtractRoundTripInEveryFormat)
{
    struct Case {
        std::vector<std::string> options;
        Row row;
    };
    const Case cases[] = {
        {{"--type", "kernel", "--version", "1.2.3.4"},
         {"0", "0", "kernel", "1", "16", "3000", "3016", "1.2.3.4", "good"}},
        {{"--type", "rootfs", "--version", "0.0.0.1", "--format", "2", "--header-len", "64"},
         {"0", "0", "rootfs", "2", "64", "3000", "3064", "0.0.0.1", "good"}},
        {{"--type", "application", "--version", "255.254.0.7", "--format", "3", "--set-bit31"},
         {"0", "0", "application", "3", "24", "3000", "3024", "255.254.0.7", "good"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"create", "-o", "image", "payload"};
        args.insert(args.begin() + 1, c.options.begin(), c.options.end());
        ToolRun create = run(args);
        ASSERT_EQ(create.status, 0) << create.err;
        EXPECT_EQ(create.err, "");

        ToolRun info = run({"info", "image"});
        EXPECT_EQ(info.status, 0) << info.err;
        EXPECT_EQ(info_rows(info.out), std::vector<Row>{c.row}) << info.out;

        ASSERT_EQ(run({"extract", "image", "0", "-o", "back"}).status, 0);
        EXPECT_EQ(file_bytes(dir / "back"), file_bytes(dir / "payload")) << c.row[2];
    }
    EXPECT_EQ(read_be32(&file_bytes(dir / "image")[8]), 0x81504754u) << "--set-bit31";
}

TEST_F(BmimageCli, PackListsEveryImageAndExtractsAnyOne)
{
    put_file(dir / "small", {1, 2, 3, 4, 5, 6, 7, 8, 9});
    ASSERT_EQ(run({"create", "--type", "kernel", "--version", "3.0.0.1", "-o", "k", "payload"}).status, 0);
    ASSERT_EQ(run({"create", "--type", "diagnostics", "--version", "1.0.0.0", "--format", "3",
                   "--header-len", "40", "-o", "d", "small"}).status, 0);
    ASSERT_EQ(run({"pack", "-o", "pkg", "k", "d"}).status, 0);

    ToolRun info = run({"info", "pkg"});
    EXPECT_EQ(info.status, 0) << info.err;
    std::vector<Row> expected = {{"0", "0", "kernel", "1", "16", "3000", "3016", "3.0.0.1", "good"},
                                 {"1", "3016", "diagnostics", "3", "40", "9", "49", "1.0.0.0", "good"}};
    EXPECT_EQ(info_rows(info.out), expected) << info.out;

    ASSERT_EQ(run({"extract", "pkg", "1", "-o", "back"}).status, 0);
    EXPECT_EQ(file_bytes(dir / "back"), file_bytes(dir / "small"));
}

TEST_F(BmimageCli, BootLoaderCarriesItsHeaderCopyOnlyWhenAsked)
{
    ASSERT_EQ(run({"create", "--type", "bootloader", "--version", "2.1.0.9", "-o", "plain", "payload"}).status, 0);
    ASSERT_EQ(run({"extract", "plain", "0", "-o", "plain-payload"}).status, 0);
    EXPECT_EQ(file_bytes(dir / "plain-payload"), file_bytes(dir / "payload"));

    ASSERT_EQ(run({"create", "--type", "bootloader", "--version", "2.1.0.9", "--embed-header-copy",
                   "-o", "copy", "payload"}).status, 0);
    std::vector<uint8_t> image = file_bytes(dir / "copy");
    const uint8_t* copy = &image[16 + BOOTLOADER_HEADER_OFFSET];
    EXPECT_EQ(read_be32(copy), 0u);
    EXPECT_EQ(0, memcmp(copy + 4, &image[4], 12));
    EXPECT_EQ(read_be32(copy + 12), 0x02010009u);
    EXPECT_EQ(run({"info", "copy"}).status, 0);
}

TEST_F(BmimageCli, AFlippedByteAfterTheCrcFieldShowsAsBad)
{
    ASSERT_EQ(run({"create", "--type", "application", "--version", "1.2.3.4", "--format", "3",
                   "-o", "image", "payload"}).status, 0);
    std::vector<uint8_t> good = file_bytes(dir / "image");
    for (size_t at : {size_t(8), size_t(11), size_t(12), size_t(15), size_t(16), size_t(20),
                      size_t(24), size_t(1500), good.size() - 1}) {
        std::vector<uint8_t> flipped = good;
        flipped[at] ^= 0x01;
        put_file(dir / "flipped", flipped);
        ToolRun info = run({"info", "flipped"});
        EXPECT_EQ(info.status, 1) << "byte " << at;
        std::vector<Row> rows = info_rows(info.out);
        ASSERT_EQ(rows.size(), 1u) << "byte " << at << "\n" << info.out;
        EXPECT_EQ(rows[0].back(), "bad") << "byte " << at;
        EXPECT_EQ(line_count(info.err), 1u) << info.err;
    }
    // A changed length no longer matches the file: the image is reported cut short.
    std::vector<uint8_t> longer = good;
    longer[7] ^= 0x01;
    put_file(dir / "flipped", longer);
    ToolRun info = run({"info", "flipped"});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("cut short"), std::string::npos) << info.out;
}

TEST_F(BmimageCli, MalformedFilesAreReportedWithStatus1)
{
    ASSERT_EQ(run({"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "image", "payload"}).status, 0);
    std::vector<uint8_t> image = file_bytes(dir / "image");

    std::vector<uint8_t> tail = image;
    tail.insert(tail.end(), {1, 2, 3, 4, 5});
    put_file(dir / "tail", tail);
    ToolRun trailing = run({"info", "tail"});
    EXPECT_EQ(trailing.status, 1);
    EXPECT_NE(trailing.out.find("trailing piece of 5 bytes at offset 3016"), std::string::npos)
        << trailing.out;

    std::vector<uint8_t> bad = image;
    bad.insert(bad.end(), 24, 0);
    put_file(dir / "bad", bad);
    ToolRun malformed = run({"info", "bad"});
    EXPECT_EQ(malformed.status, 1);
    EXPECT_NE(malformed.out.find("malformed header at offset 3016"), std::string::npos) << malformed.out;
    EXPECT_EQ(line_count(malformed.err), 1u);
}

// Every refusal: one line on standard error, a non-zero status, and no output file (nor a
// temporary one) left behind.
TEST_F(BmimageCli, BadInputIsRefusedWithOneLineAndNoOutput)
{
    ASSERT_EQ(run({"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "image", "payload"}).status, 0);
    put_file(dir / "junk", {1, 2, 3});
    // A sparse payload just beyond 32 bits.
    { std::ofstream create(dir / "huge"); }
    ASSERT_EQ(truncate((dir / "huge").c_str(), (off_t(1) << 32) + 1), 0);
    const std::vector<std::string> before = files_in_dir();

    const std::vector<std::vector<std::string>> refused = {
        {"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "out", "missing"},
        {"create", "--type", "kernal", "--version", "1.2.3.4", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.256", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.x.4", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "out", "huge"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "--format", "4", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "--format", "2", "--header-len", "19",
         "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "--header-len", "32", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "--set-bit31", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "--embed-header-copy", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "payload"},
        {"create", "--version", "1.2.3.4", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "--colour", "-o", "out", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "out", "payload", "payload"},
        {"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "nodir/out", "payload"},
        {"pack", "-o", "out", "image", "missing"},
        {"pack", "-o", "out", "image", "junk"},
        {"pack", "-o", "out"},
        {"info", "missing"},
        {"info"},
        {"extract", "image", "1", "-o", "out"},
        {"extract", "image", "-1", "-o", "out"},
        {"extract", "missing", "0", "-o", "out"},
        {"extract", "image", "0"},
        {"frobnicate"},
        {},
    };
    for (const auto& args : refused) {
        std::string shown;
        for (const std::string& arg : args)
            shown += arg + " ";
        ToolRun r = run(args);
        EXPECT_NE(r.status, 0) << shown;
        EXPECT_EQ(line_count(r.err), 1u) << shown << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("bmimage: ", 0), 0u) << shown << "\n" << r.err;
        EXPECT_EQ(files_in_dir(), before) << shown;
    }
}

// A write that fails part way (here: the file size limit) leaves neither the output nor the
// temporary file behind, and an existing output is kept as it was.
TEST_F(BmimageCli, AFailedWriteLeavesNoPartialOutput)
{
    const std::vector<std::string> before = files_in_dir();
    ToolRun create = run({"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "out", "payload"}, 1024);
    EXPECT_EQ(create.status, 1);
    EXPECT_EQ(line_count(create.err), 1u) << create.err;
    EXPECT_EQ(files_in_dir(), before);

    put_file(dir / "out", {'o', 'l', 'd'});
    ToolRun again = run({"create", "--type", "kernel", "--version", "1.2.3.4", "-o", "out", "payload"}, 1024);
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(file_text(dir / "out"), "old");
}

TEST_F(BmimageCli, HelpOnTheProgramAndEveryCommand)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"create", "--help"}, {"pack", "--help"},
          {"info", "--help"}, {"extract", "--help"}}) {
        ToolRun r = run(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out.rfind("usage: bmimage", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_NE(run({"create", "--help"}).out.find("--embed-header-copy"), std::string::npos);
}
