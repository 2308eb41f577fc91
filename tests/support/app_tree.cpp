// Application trees packed the way images carry them, with the host's tar and gzip in a
// temporary directory.
#include "support/app_tree.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "bmimage/image_builder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

void run_host_tool(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + args[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
}

// Writes the files under root with the modes an unpacked application expects.
std::set<std::string> write_tree(const fs::path& root, const std::vector<AppFile>& files) {
    std::set<std::string> top_level;
    for (const auto& file : files) {
        fs::path path = root / file.path;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << file.content;
        chmod(path.c_str(), file.executable ? 0755 : 0644);
        top_level.insert(fs::path(file.path).begin()->string());
    }
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_directory()) chmod(entry.path().c_str(), 0755);
    return top_level;
}

}  // namespace

std::vector<uint8_t> make_tarball(const std::vector<AppFile>& files) {
    char pattern[] = "/tmp/bm-apptree.XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    fs::path work = pattern;
    fs::path root = work / "root";
    fs::create_directory(root);
    std::vector<uint8_t> archive;
    try {
        std::set<std::string> top_level = write_tree(root, files);
        std::vector<std::string> tar = {"tar", "--owner=0", "--group=0", "--numeric-owner", "--mtime=@0",
                                        "--sort=name", "-cf", (work / "app.tar").string(), "-C", root.string()};
        tar.insert(tar.end(), top_level.begin(), top_level.end());
        run_host_tool(tar);
        run_host_tool({"gzip", "-n", (work / "app.tar").string()});
        std::ifstream in(work / "app.tar.gz", std::ios::binary);
        archive.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (...) {
        fs::remove_all(work);
        throw;
    }
    fs::remove_all(work);
    return archive;
}

std::vector<AppFile> standard_app_tree(const std::string& label) {
    return {
        {"home/bin/distro-id", "bootmanager-sim-switch\n", false},
        {"home/bin/install.sh", "#!/bin/sh\necho \"install.sh of " + label + " ran\"\n", true},
        {"home/bin/env-setup", "APP_GREETING hello-from-" + label + "\n", false},
        {"home/bin/mp.elf.strip",
         "#!/bin/sh\necho \"APPLICATION " + label + " RUNNING\"\necho \"APP_GREETING=$APP_GREETING\"\n", true},
    };
}

std::vector<uint8_t> standard_app_image(const std::string& label, uint32_t id) {
    ImageSpec plan;
    plan.type = 0x01504754;
    plan.id = id;
    return build_image(plan, make_tarball(standard_app_tree(label)));
}
