#pragma once

int print_installed_versions();
