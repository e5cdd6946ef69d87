// The page's files, built into the program from tools/quillexctl/ui/assets/,
// so the page works with no network and from wherever quillexctl runs.
#pragma once

#include <string_view>

// The file's contents; empty for a name that is not one of them.
std::string_view UiAsset(std::string_view name);
