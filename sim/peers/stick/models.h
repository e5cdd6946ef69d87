// The arcade stick models the simulator plugs, one row each. Whatever tells
// the models apart reads this table: the stick's reports and descriptor (by
// layout), the plug (product id), the tools (the letter on the command line,
// in recordings and titles), the benchmarks and fuzz targets. A model with a
// layout of its own also needs its encoding (raw_reports.cpp) and report
// descriptor (descriptors.cpp); one that reports as an existing layout is a
// row here and nothing more.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace sim::stick {

// The byte layout of a model's input reports.
enum class Layout { A, B };

struct Model {
    Layout layout;
    uint16_t productId;
    char letter;         // 'A', 'B': quillex-sim's --layout, a recording's "model"
    size_t reportLength; // one input report, its report id included
    uint8_t reportId;    // 0: the reports carry none
};

inline constexpr Model kModels[] = {
    {Layout::A, 0x0402, 'A', 19, 0},
    {Layout::B, 0x0403, 'B', 10, 1},
};

constexpr const Model& ModelOf(Layout layout) {
    for (const Model& model : kModels) {
        if (model.layout == layout) {
            return model;
        }
    }
    return kModels[0]; // unreachable: every layout has a row
}

// The model whose product id this is, or nullptr.
const Model* ModelWithProductId(uint32_t productId);
// The model named by its letter, in either case, or nullptr.
const Model* ModelWithLetter(char letter);
// "PID_0402 (raw layout A)", as the tools title a stick.
std::string ModelTitle(const Model& model);

} // namespace sim::stick
