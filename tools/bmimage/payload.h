// The payload of an application or diagnostics image: a gzip-compressed tar that the switch
// unpacks in /tmp. bmimage makes it of a directory and checks a given one for what the switch
// looks for, without refusing it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The gzip tar of the directory's contents (its entries at the top, without "./"), made by the
// host's tar with owner and group 0. False with the reason when tar fails.
bool tar_directory(const std::string& dir, std::vector<uint8_t>* archive, std::string* error);

// What the switch will miss in this payload of an image of the given type, one phrase each:
// not a gzip tar, or a tar without home/bin/distro-id or the program the switch starts.
std::vector<std::string> payload_warnings(uint32_t type, const std::vector<uint8_t>& payload);
