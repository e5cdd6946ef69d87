// printf into a std::string, for the tools' lines of text and SVG: the whole
// text, however long (an empty string if the format cannot be written).
#pragma once

#include <string>

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
