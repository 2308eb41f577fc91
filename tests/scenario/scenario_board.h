// The simulated board as the scenario tests set it up through bmsim and watch it: application
// trees and images in the slots, on the USB stick and in the flash partitions, and a console whose
// texts are awaited in turn.
#pragma once
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"
#include "support/bytes.h"
#include "support/console_driver.h"

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;
// The program's one-second waits pass twenty times faster; a start gets 90 real seconds.
inline const Texts FAST = {"--time-scale", "0.05", "--timeout", "90"};
constexpr uint32_t VERSION_1 = 0x01000000;
constexpr uint32_t VERSION_2 = 0x02000000;

inline Texts with(Texts first, const Texts& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}
// For EXPECT_TRUE: the text holds the parts in this order, or none of them; a failure shows the text.
inline testing::AssertionResult has(const std::string& text, const Texts& parts) {
    for (size_t i = 0, at = 0; i < parts.size(); at += parts[i++].size())
        if ((at = text.find(parts[i], at)) == std::string::npos)
            return testing::AssertionFailure() << "part " << i + 1 << " \"" << parts[i] << "\" not found in:\n" << text;
    return testing::AssertionSuccess();
}
inline testing::AssertionResult lacks(const std::string& text, const Texts& parts) {
    for (const auto& part : parts)
        if (contains(text, part)) return testing::AssertionFailure() << "\"" << part << "\" in:\n" << text;
    return testing::AssertionSuccess();
}
// The names in a folder, sorted; none when it is missing.
inline Texts file_names(const std::string& dir) {
    Texts names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}
// The console's text without the carriage returns of the terminal's line ends.
inline std::string plain(std::string text) {
    std::erase(text, '\r');
    return text;
}
inline void write_text(const std::string& path, const std::string& text) {
    write_binary_file(path, Bytes(text.begin(), text.end()));
}
// The MD5 sum of a file as md5sum prints it.
inline std::string md5_of(const std::string& path) {
    std::string sum;
    run_command("md5sum < '" + path + "'", &sum);
    return sum.substr(0, 32);
}
// Runs bmsim with no input; returns the exit status, and its standard output and error together
// in *output when given.
inline int run_bmsim(const Texts& args, std::string* output = nullptr) {
    std::string command = BMSIM_PATH;
    for (std::string arg : args) {
        for (size_t at = 0; (at = arg.find('\'', at)) != std::string::npos; at += 4) arg.replace(at, 1, "'\\''");
        command += " '" + arg + "'";
    }
    return run_command(command + " </dev/null 2>&1", output);
}
// Runs bmsim, which must succeed, and returns what it printed.
inline std::string bmsim_ok(const Texts& args) {
    std::string output;
    EXPECT_EQ(run_bmsim(args, &output), 0) << "bmsim " << args[0] << ": " << output;
    return output;
}

// A file of an application tree, relative to /tmp, where the archive is unpacked.
struct AppFile {
    std::string path, content;
    bool executable = false;
};
// A gzip-compressed tar of the files, made with the host's tar and gzip.
inline Bytes make_tarball(const std::vector<AppFile>& files) {
    const std::string root = temp_dir("bm-apptree");
    for (const auto& file : files) {
        fs::path path = fs::path(root) / file.path;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << file.content;
        chmod(path.c_str(), file.executable ? 0755 : 0644);
    }
    std::string archive, tar = " && tar --owner=0 --group=0 --numeric-owner --mtime=@0 --sort=name -cf - *";
    bool failed = run_command("cd " + root + tar + " | gzip -n", &archive) != 0;
    fs::remove_all(root);
    if (failed) throw std::runtime_error("tar or gzip failed");
    return Bytes(archive.begin(), archive.end());
}
// A working application: distro-id, install.sh, env-setup (setting APP_GREETING), and an
// mp.elf.strip script that prints "APPLICATION <label> RUNNING" and its greeting variable.
inline std::vector<AppFile> standard_app_tree(const std::string& label) {
    return {{"home/bin/distro-id", "bootmanager-sim-switch\n", false},
            {"home/bin/install.sh", "#!/bin/sh\necho \"install.sh of " + label + " ran\"\n", true},
            {"home/bin/env-setup", "APP_GREETING hello-from-" + label + "\n", false},
            {"home/bin/mp.elf.strip",
             "#!/bin/sh\necho \"APPLICATION " + label + " RUNNING\"\necho \"APP_GREETING=$APP_GREETING\"\n", true}};
}

inline Bytes image_of(uint32_t type, uint32_t id, const Bytes& payload, int format = 1) {
    return build_image({.type = type, .id = id, .format = format}, payload);
}
inline Bytes app_image(const std::vector<AppFile>& tree, uint32_t id = VERSION_1, int format = 1) {
    return image_of(IMAGE_APPLICATION, id, make_tarball(tree), format);
}
inline Bytes app_image(const std::string& label, uint32_t id = VERSION_1, int format = 1) {
    return app_image(standard_app_tree(label), id, format);
}
// The standard application tree with files replaced, added or left out (content "-").
inline std::vector<AppFile> tree_with(const std::string& label, const std::vector<AppFile>& changes) {
    std::vector<AppFile> tree = standard_app_tree(label);
    std::erase_if(tree, [&](const AppFile& file) {
        return std::ranges::any_of(changes, [&](const AppFile& change) { return change.path == file.path; });
    });
    std::ranges::copy_if(changes, std::back_inserter(tree), [](const AppFile& c) { return c.content != "-"; });
    return tree;
}
// An application that runs shell commands after its banner "APPLICATION <label> RUNNING".
inline Bytes app_running(const std::string& label, const std::string& commands, uint32_t id = VERSION_1) {
    return app_image(
        tree_with(label, {{"home/bin/mp.elf.strip",
                           "#!/bin/sh\necho \"APPLICATION " + label + " RUNNING\"\n" + commands + "\n", true}}),
        id);
}
// The image with a byte flipped, by default one in the payload: its CRC no longer matches.
inline Bytes spoiled(Bytes image, size_t at = 0) {
    image[at ? at : image.size() / 2] ^= 0xFF;
    return image;
}
// The image with its length field (bytes 4 to 7) set to len, its CRC left as it was.
inline Bytes claiming(Bytes image, uint32_t len) {
    write_be32(&image[4], len);
    return image;
}
inline Bytes flash_image(uint32_t type, size_t size, uint8_t seed, uint32_t id = 0x01020304) {
    return image_of(type, id, pattern_bytes(size, seed));
}
// Bytes that gzip cannot shrink: an application tree holding them makes an image of about
// their size (150000 bytes take three 64 KiB slot writes).
inline std::string noise(size_t size) {
    std::mt19937 random(42);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = char(random());
    return bytes;
}
inline bool starts_with(const Bytes& bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}
// Not empty, and every byte 0xFF.
inline bool all_erased(const Bytes& bytes) {
    return !bytes.empty() && std::ranges::all_of(bytes, [](uint8_t b) { return b == 0xFF; });
}

// A fresh board (bmsim new) in a new temporary directory and its console, both gone at the end
// of the test (unless BMSIM_KEEP_BOARDS is set, to look at the board).
struct Scenario : ::testing::Test {
    std::string board = temp_dir("bmsim-board");
    ConsoleSession session;
    Scenario() { bmsim_ok({"new", board}); }
    void TearDown() override {
        session.stop();
        std::error_code error;
        if (!std::getenv("BMSIM_KEEP_BOARDS")) fs::remove_all(board, error);
    }

    // The board's files: a slot's image, a flash partition (written as a factory programmer
    // would), an EEPROM cell, the environment, the board log.
    std::string slot_path(int slot) { return board + "/user/images/image" + std::to_string(slot); }
    Bytes slot(int slot) { return read_binary_file(slot_path(slot)); }
    void put_slot(int slot, const Bytes& image) { write_binary_file(slot_path(slot), image); }
    Bytes partition(const std::string& name) { return read_binary_file(board + "/mtd/" + name + ".bin"); }
    void flash(const std::string& partition, const Bytes& bytes) {
        write_binary_file(board + "/" + partition + ".flash", bytes);
        bmsim_ok({"flash", board, partition, board + "/" + partition + ".flash"});
    }
    int eeprom(uint32_t offset) { return read_binary_file(board + "/eeprom.bin").at(offset); }
    void set_eeprom(const std::string& at, const std::string& value) { bmsim_ok({"eeprom", board, at, value}); }
    void env(const Texts& settings) { bmsim_ok(with({"env", board}, settings)); }
    std::string log() { return read_text_file(board + "/log"); }
    // Inserts the USB stick, ready at once, with these files on it.
    void insert_stick(const std::vector<std::pair<std::string, Bytes>>& files) {
        bmsim_ok({"usb", board, "insert"});
        for (const auto& [name, bytes] : files) write_binary_file(board + "/usb/" + name, bytes);
    }

    void boot(const Texts& extra = {}, bool on_terminal = false) {
        session = ConsoleSession::start(with({BMSIM_PATH, "boot", board}, with(FAST, extra)), on_terminal);
    }
    // Awaits each text in turn after the last one found; a missing one fails the test.
    bool shows(const Texts& texts, double timeout_seconds = 30) {
        for (const auto& text : texts) {
            if (session.expect(text, timeout_seconds)) continue;
            ADD_FAILURE() << "the console did not show \"" << text << "\"; it showed:\n" << session.output;
            return false;
        }
        return true;
    }
    // Reads the console for a while. A key sent right after a prompt may come before the program
    // has turned the echo off for its one-key read; a short watch first keeps the echo exact.
    void watch(double seconds) { session.expect("\x01\x02\x03 never shown", seconds); }
    // Sends keys after a short watch; answer awaits the prompt first.
    bool press(const std::string& keys) {
        watch(0.2);
        session.send(keys);
        return true;
    }
    bool answer(const std::string& prompt, const std::string& keys) { return shows({prompt}) && press(keys); }
    // Works in the shell the program dropped into, and leaves it.
    void uses_shell() {
        session.send("echo shell-$((6*7))\nexit\n");
        shows({"shell-42"});
    }
    // Awaits the end of the run, which ends with this exit status.
    void ends(int status = 0) { EXPECT_EQ(session.wait_exit(120), status); }
    // Boots, awaits the texts and the end of the run, with exit status 0.
    void boot_showing(const Texts& texts, const Texts& extra = {}) {
        boot(extra);
        shows(texts);
        ends();
    }
    // Runs shell commands on the switch in place of the boot manager (what an application would
    // run), and returns what the console showed.
    std::string on_switch(const std::string& commands) {
        std::string script = board + "/commands.sh";
        write_text(script, "#!/bin/sh\n" + commands + "\n");
        chmod(script.c_str(), 0755);
        boot({"--program", script});
        ends();
        return plain(session.output);
    }
};
