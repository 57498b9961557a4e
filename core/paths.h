// Room for a path the program builds: settings file, log folders and files, help.
#pragma once

#include <array>
#include <cstddef>

constexpr std::size_t kPathCapacity = 520;
using PathText = std::array<char, kPathCapacity>;
