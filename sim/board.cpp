// placeholder until the board code lands
#include "board.h"
const std::vector<PartitionSpec>& board_partitions() { static std::vector<PartitionSpec> p; return p; }
bool board_create(const std::string&, std::string*) { return false; }
bool board_set_env(const std::string&, const std::vector<std::string>&, std::string*) { return false; }
bool board_eeprom_read(const std::string&, uint32_t, uint8_t*, std::string*) { return false; }
bool board_eeprom_write(const std::string&, uint32_t, uint8_t, std::string*) { return false; }
bool board_flash_file(const std::string&, const std::string&, const std::string&, std::string*) { return false; }
