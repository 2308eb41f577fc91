// bmsim's commands and what they share: the command table's entries, the arguments as the
// command line gives them, the two ways a command fails, and the number and board checks.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr int USAGE_ERROR = 2;

// A command's arguments as getopt_long splits them: options anywhere among the operands, as
// --name=value or --name value, and "--" ending the options.
struct Arguments {
    std::vector<std::string> operands;
    std::vector<std::pair<std::string, std::string>> options;  // name and value, in the given order
    bool help = false;
    bool version = false;
};

struct OptionRule {
    const char* name;
    bool takes_value;
};

// One line on standard error naming the command; status 2 with the help hint, or 1.
int usage_error(const char* command, const std::string& message);
int failure(const char* command, const std::string& message);

int print_version();
// Every command takes --help and --version besides its own options.
int parse_arguments(const char* command, int argc, char** argv, const std::vector<OptionRule>& rules,
                    Arguments* arguments);
// Decimal, or hexadecimal after 0x.
bool parse_number(const std::string& text, uint32_t max, uint32_t* value);
bool parse_seconds(const std::string& text, double* value);
bool is_board(const std::string& dir);
std::string not_a_board(const std::string& dir);

// The commands, each with its help text (bmsim_board_commands.cpp, bmsim_boot.cpp).
std::string new_help();
std::string env_help();
std::string eeprom_help();
std::string flash_help();
std::string usb_help();
std::string boot_help();
// The virtual machine of the switch can boot: its kernel and initramfs are there.
bool machine_available();
std::string log_help();
int run_new(const Arguments& arguments);
int run_env(const Arguments& arguments);
int run_eeprom(const Arguments& arguments);
int run_flash(const Arguments& arguments);
int run_usb(const Arguments& arguments);
int run_boot(const Arguments& arguments);
int run_log(const Arguments& arguments);
std::string keys_help();
int run_keys(const Arguments& arguments);
