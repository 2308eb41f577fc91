#pragma once

int rescue_menu();
int erase_user_filesystem();
