// Parsing the page's messages with nlohmann-json.
#include "web/BridgeRule.h"

#include <nlohmann/json.hpp>

namespace mirovan {

std::optional<std::vector<Rect>> parseNoDrag(std::string_view json) {
    auto value = nlohmann::json::parse(json, nullptr, false);
    if (value.is_discarded() || !value.is_array()) return std::nullopt;
    std::vector<Rect> rects;
    for (const auto& inner : value) {
        if (!inner.is_array()) return std::nullopt;
        for (const auto& n : inner)
            if (!n.is_number()) return std::nullopt;
        if (inner.size() != 4) continue;
        rects.push_back(
            {inner[0].get<double>(), inner[1].get<double>(), inner[2].get<double>(), inner[3].get<double>()});
    }
    return rects;
}

Appearance appearanceFor(std::string_view body) {
    if (body == "dark") return Appearance::dark;
    if (body == "light") return Appearance::light;
    return Appearance::system;
}

}  // namespace mirovan
