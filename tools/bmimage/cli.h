// bmimage's command-line and file helpers, shared by its commands.
#pragma once
#include <getopt.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct CommandLine {
    std::vector<std::string> operands;
    std::map<std::string, std::string> values;  // options that take a value, by long name
    std::set<std::string> flags;                // options that stand alone
    std::vector<std::string> keys;              // every --key given, in order
};

// A bad input: one line on standard error, exit status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...);
// A command line that cannot be understood: exit status 2.
[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_fail(const char* format, ...);

// argv[0] is the command's name; options and operands may come in any order, up to "--".
CommandLine parse_command_line(int argc, char** argv, const option* options, const char* command, const char* help);
std::string required_value(const CommandLine& line, const char* name, const char* command);
void require_operands(const CommandLine& line, size_t low, size_t high, const char* what, const char* command);

std::vector<uint8_t> read_input(const std::string& path);
// OUT is written whole beside itself and renamed over it; '-' is standard output.
void write_output(const std::string& path, const std::vector<uint8_t>& bytes);

// The signing commands (sign_commands.cpp).
int run_keygen(int argc, char** argv);
int run_sign(int argc, char** argv);
int run_verify(int argc, char** argv);
// The signatures in `info`: a table of one row per signature image (the image it signs, its key,
// and with --key whether it verifies), and the same as JSON fields by the image's offset.
void print_signature_rows(const std::vector<uint8_t>& file, const CommandLine& line);
std::map<uint32_t, std::string> signature_json_fields(const std::vector<uint8_t>& file, const CommandLine& line);
