#include "sim/peers/stick/models.h"

#include <ctype.h>
#include <stdio.h>

namespace sim::stick {

const Model* ModelWithProductId(uint32_t productId) {
    for (const Model& model : kModels) {
        if (model.productId == productId) {
            return &model;
        }
    }
    return nullptr;
}

const Model* ModelWithLetter(char letter) {
    for (const Model& model : kModels) {
        if (model.letter == toupper(static_cast<unsigned char>(letter))) {
            return &model;
        }
    }
    return nullptr;
}

std::string ModelTitle(const Model& model) {
    char title[48];
    snprintf(title, sizeof(title), "PID_%04X (raw layout %c)", model.productId, model.letter);
    return title;
}

} // namespace sim::stick
