// The installed version report.
#pragma once

int print_installed_versions();
