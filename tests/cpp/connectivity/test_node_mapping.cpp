#include <cstdint>

#include "check.hpp"
#include "connectivity/node_mapping.hpp"

using namespace quillet;

TEST(node_ids_pack_level_and_position_and_fault_outside_the_layout) {
    CHECK_EQ(node_id(1, 3, 5), std::uint64_t{281475027042309});
    CHECK_EQ(node_id(4, 2, 1), (std::uint64_t{4} << 48) | (std::uint64_t{2} << 24) | 1);
    CHECK_THROWS_TEXT(node_id(2, 16777216, 0),
                      "Node id overflow for (level,row,col)=(2,16777216,0); exceeds 16/24/24-bit layout");
    CHECK_THROWS_TEXT(node_id(65536, 0, 0),
                      "Node id overflow for (level,row,col)=(65536,0,0); exceeds 16/24/24-bit layout");
    // Negative coordinates are reported before the layout limits.
    CHECK_THROWS_TEXT(node_id(1, -1, 16777216),
                      "Negative node coordinates are not supported: level=1, row=-1, col=16777216");

}
