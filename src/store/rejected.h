// USB images seen before, remembered by MD5 digest under "/user/images/rejected".
#pragma once
#include <cstdio>

constexpr int MD5_TEXT_SIZE = 33;

bool image_md5(const char* path, char* digest);
// The digest at the start of md5sum's output: true when its 32 characters are all hex digits.
bool read_md5_digest(FILE* output, char* digest);
void reject_image(const char* path);
bool is_rejected(const char* path);
