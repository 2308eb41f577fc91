// What bmsim's commands share: reporting, the command line's options, numbers and boards.
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bmsim_command.h"

namespace fs = std::filesystem;

// ---- reporting ----

int usage_error(const char* command, const std::string& message) {
    std::fprintf(stderr, "bmsim %s: %s\n(see 'bmsim %s --help')\n", command, message.c_str(), command);
    return USAGE_ERROR;
}

int failure(const char* command, const std::string& message) {
    std::fprintf(stderr, "bmsim %s: %s\n", command, message.c_str());
    return 1;
}

// ---- arguments ----

int print_version() {
    std::printf("bmsim %s\n", BMSIM_VERSION);
    return 0;
}

int parse_arguments(const char* command, int argc, char** argv, const std::vector<OptionRule>& rules,
                    Arguments* arguments) {
    std::vector<option> options;
    for (const OptionRule& rule : rules)
        options.push_back(
            {rule.name, rule.takes_value ? required_argument : no_argument, nullptr, static_cast<int>(options.size())});
    options.push_back({"help", no_argument, nullptr, 'h'});
    options.push_back({"version", no_argument, nullptr, 'V'});
    options.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    optind = 1;
    for (int found; (found = getopt_long(argc, argv, ":h", options.data(), nullptr)) != -1;) {
        std::string given = argv[optind - 1];
        if (given.rfind("--", 0) != 0 && optopt > 0) given = std::string("-") + char(optopt);
        if (found == '?') return usage_error(command, "unknown option '" + given + "'");
        if (found == ':') return usage_error(command, "option '" + given + "' needs a value");
        if (found == 'h') arguments->help = true;
        if (found == 'V') arguments->version = true;
        if (found < static_cast<int>(rules.size()))
            arguments->options.emplace_back(rules[found].name, optarg ? optarg : "");
    }
    arguments->operands.assign(argv + optind, argv + argc);
    return 0;
}

bool parse_number(const std::string& text, uint32_t max, uint32_t* value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8) return false;
    for (char c : digits)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
            return false;
    unsigned long parsed = std::stoul(digits, nullptr, hex ? 16 : 10);
    if (parsed > max) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool parse_seconds(const std::string& text, double* value) {
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(parsed) || parsed < 0) return false;
    *value = parsed;
    return true;
}

bool is_board(const std::string& dir) {
    std::error_code error;
    return fs::is_directory(dir + "/user", error) && fs::is_regular_file(dir + "/eeprom.bin", error);
}

std::string not_a_board(const std::string& dir) {
    return "'" + dir + "' is not a board directory (make one with 'bmsim new " + dir + "')";
}
