#include "tools/quillexctl/ui/arcade_settings.h"

bool ReadArcadeSettings(StickPool& pool, unsigned stick, std::map<std::string, uint32_t>* values) {
    // A driver that predates the settings refuses the id, or (as the first
    // drivers did) echoes it back as the reply.
    std::vector<uint8_t> version = {QUILLEX_ITEM_INTERFACE_VERSION, 0, 0, 0};
    LinkResult v = pool.Control(stick, IOCTL_QUILLEX_GET_VALUE, version, 4);
    if (!v.ok || v.out.size() < 4 || v.out[0] < 2 || v.out[0] == QUILLEX_ITEM_INTERFACE_VERSION) {
        return false;
    }
    for (const ArcadeSetting& s : ArcadeSettingNames()) {
        std::vector<uint8_t> in = {static_cast<uint8_t>(s.id), 0, 0, 0};
        LinkResult r = pool.Control(stick, IOCTL_QUILLEX_GET_VALUE, in, 4);
        if (!r.ok || r.out.size() < 4) {
            return false;
        }
        (*values)[s.name] = static_cast<uint32_t>(r.out[0] | r.out[1] << 8 | r.out[2] << 16 |
                                                  static_cast<uint32_t>(r.out[3]) << 24);
    }
    return true;
}

LinkResult WriteArcadeSetting(StickPool& pool, unsigned stick, const ArcadeSetting& setting,
                              uint32_t value) {
    std::vector<uint8_t> in = {static_cast<uint8_t>(setting.id), 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        in.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return pool.Control(stick, IOCTL_QUILLEX_SET_VALUE, in, 0);
}
