// What bmimage's commands share: reporting, the command line, input and output files, and the
// check of a package. Each command lives in a file of its own and is named in bmimage.cpp's table.
#pragma once
#include <getopt.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image_builder.h"

// A bad input: one line on standard error, exit status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...);
// A command line that cannot be understood: exit status 2.
[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_fail(const char* format, ...);

struct CommandLine {
    std::vector<std::string> operands;
    std::map<std::string, std::string> values;  // options that take a value, by long name
    std::set<std::string> flags;                // options that stand alone
    std::vector<std::string> keys;              // every --key given, in order
};

// argv[0] is the command's name; options and operands may come in any order, up to "--".
// Every command takes -o/--output and -h/--help besides its own long options.
CommandLine parse_command_line(int argc, char** argv, const option* options, const char* command, const char* help);
std::string required_value(const CommandLine& line, const char* name, const char* command);
void require_operands(const CommandLine& line, size_t low, size_t high, const char* what, const char* command);
// A decimal number from 0 to max, digits only.
uint64_t parse_number(const std::string& text, uint64_t max, const char* what, const char* command);

std::vector<uint8_t> read_input(const std::string& path);
// OUT is written whole and renamed over the old file; '-' is standard output.
void write_output(const std::string& path, const std::vector<uint8_t>& bytes);

// What is wrong with a package, in one phrase; "" when it is whole and every CRC is good.
std::string package_problem(const PackageListing& listing, bool padding_allowed);

// The commands: argv[0] is the command's name.
int run_create(int argc, char** argv);
int run_pack(int argc, char** argv);
int run_info(int argc, char** argv);
int run_extract(int argc, char** argv);
// The signing commands (sign_commands.cpp).
int run_keygen(int argc, char** argv);
int run_sign(int argc, char** argv);
int run_verify(int argc, char** argv);
// The signatures in `info`: a table of one row per signature image (the image it signs, its key,
// and with --key whether it verifies), and the same as JSON fields by the image's offset.
void print_signature_rows(const std::vector<uint8_t>& file, const CommandLine& line);
std::map<uint32_t, std::string> signature_json_fields(const std::vector<uint8_t>& file, const CommandLine& line);
