// Unpacking "/tmp/vemoximage.tar.gz" and handing the process over to the application.
#pragma once
#include <cstdio>

constexpr int COMMAND_BUFFER_SIZE = 256;
extern char command_buffer[COMMAND_BUFFER_SIZE];

[[noreturn]] void start_application(bool diags);
// Reads env-setup name/value pairs from an open file into the process environment.
void apply_env_setup(FILE* file);
