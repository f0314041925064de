#include <tuple>
#include <vector>

#include "check.hpp"
#include "common/levels.hpp"

using namespace quillet;

TEST(check_dims_reports_the_first_disagreement) {
    using Shapes = std::vector<std::pair<LevelKey, std::pair<std::size_t, std::size_t>>>;
    const auto map = [](const Shapes& shapes) {
        LevelMap m;
        for (const auto& [key, shape] : shapes) m.emplace(key, Grid(shape.first, shape.second));
        return m;
    };
    const auto message = [](const Status& s) { return s.ok() ? std::string("ok") : s.error().message; };
    for (const auto& [first, second, expected] : {
             std::tuple{Shapes{{1, {10, 10}}, {2, {5, 5}}, {4, {3, 3}}}, Shapes{{1, {1, 1}}, {2, {5, 5}}},
                        "HashMaps have different number of keys: 3 vs 2"},
             std::tuple{Shapes{{1, {10, 10}}, {4, {3, 3}}}, Shapes{{1, {10, 10}}, {2, {5, 5}}},
                        "Key 4 exists in first map but not in second"},
             std::tuple{Shapes{{1, {10, 10}}, {2, {5, 5}}}, Shapes{{1, {10, 9}}, {2, {5, 5}}},
                        "Dimension mismatch for key 1: (10, 10) vs (10, 9)"},
             std::tuple{Shapes{{1, {10, 10}}}, Shapes{{1, {10, 10}}}, "ok"},
             std::tuple{Shapes{}, Shapes{}, "ok"},
         }) {
        CHECK_EQ(message(check_dims(map(first), map(second))), std::string(expected));
    }
}
