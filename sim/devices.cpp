// placeholder until the device emulator lands
#include "devices.h"
void sim_devices_attach(const char*) {}
void sim_devices_detach() {}
