// USB images seen before, remembered by MD5 digest under "/user/images/rejected".
#pragma once

constexpr int MD5_TEXT_SIZE = 33;

bool image_md5(const char* path, char* digest);
void reject_image(const char* path);
bool is_rejected(const char* path);
