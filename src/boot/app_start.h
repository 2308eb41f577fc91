// Unpacking "/tmp/vemoximage.tar.gz" and handing the process over to the application.
#pragma once
#include <cstdio>

// The shell command lines of the application start are formatted here.
constexpr int COMMAND_BUFFER_SIZE = 256;
extern char command_buffer[COMMAND_BUFFER_SIZE];

// Unpacks "/tmp/vemoximage.tar.gz" and starts the application (with the diagnostics program
// for a diagnostics image); never returns.
[[noreturn]] void start_application(bool diags);
// Reads env-setup name/value pairs from an open file into the process environment.
void apply_env_setup(FILE* file);
