#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "check.hpp"
#include "connectivity/overview.hpp"

using namespace quillet;

namespace {

using Levels = std::vector<std::uint64_t>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr OverviewMode kModes[] = {OverviewMode::average, OverviewMode::area_projected, OverviewMode::area_geographic};
constexpr Affine kEquator{1, 0, 0, 0, 0, 0};  // every row centred on latitude 0: area factor 1

// Runs `build` on a worker of a fresh pool, as the connectivity driver does.
template <class Build>
auto on_pool(Build build, std::size_t workers = 2) {
    auto pool = Pool::create(workers).unwrap();
    std::optional<decltype(build(*pool))> out;
    pool->run([&] { out.emplace(build(*pool)); });
    return std::move(*out);
}

Result<LevelMap> overview(const Grid& base, const Levels& levels, OverviewMode mode, std::int32_t r0 = 0,
                          std::int32_t c0 = 0, const Affine* transform = &kEquator, std::size_t workers = 2) {
    return on_pool([&](Pool& p) { return make_overview(base, levels, r0, c0, mode, transform, p); }, workers);
}

Result<LevelMap3> overview_3d(const Grid3& base, const Levels& levels, std::int32_t r0 = 0, std::int32_t c0 = 0,
                              std::size_t workers = 2) {
    return on_pool([&](Pool& p) { return make_overview_3d(base, levels, r0, c0, p); }, workers);
}

Grid level_of(Result<LevelMap> levels, LevelKey key) { return std::move(std::move(levels).unwrap().at(key)); }

std::string error_of(const auto& result) { return result.ok() ? std::string("ok") : result.error().message; }

Grid grid_of(std::initializer_list<std::initializer_list<float>> rows) {
    Grid g(rows.size(), rows.begin()->size());
    float* out = g.data();
    for (const auto& row : rows) out = std::copy(row.begin(), row.end(), out);
    return g;
}

template <class G>
bool same_bits(const G& a, const G& b) {
    return a.nrows() == b.nrows() && a.ncols() == b.ncols() && a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Values in [0, 100) with about one cell in six NaN and one in forty infinite.
void fill_random(float* values, std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (std::size_t i = 0; i < n; ++i) {
        const float u = uniform(rng);
        values[i] = u < 0.16f ? kNaN : u < 0.185f ? kInf : uniform(rng) * 100.0f;
    }
}

}  // namespace

TEST(level_grids_follow_the_global_lattice) {
    const Grid base = Grid::filled(10, 10, 1.0f);
    const LevelMap aligned = overview(base, {1, 2, 4, 2}, OverviewMode::average).unwrap();
    CHECK(aligned.size() == 3 && aligned.at(1).nrows() == 10 && aligned.at(2).nrows() == 5);
    CHECK(aligned.at(4).nrows() == 3 && aligned.at(4).ncols() == 3);
    // Three rows down, the first level-2 row and the first level-4 row hold base row 0 only.
    const LevelMap shifted = overview(base, {2, 4}, OverviewMode::area_projected, 3, 0).unwrap();
    CHECK(shifted.count(1) == 0 && shifted.at(2).nrows() == 6 && shifted.at(4).nrows() == 4);
    CHECK(shifted.at(2).ncols() == 5 && shifted.at(4).ncols() == 3);
    CHECK(shifted.at(2)(0, 0) == 2.0f && shifted.at(2)(1, 0) == 4.0f && shifted.at(4)(0, 2) == 2.0f);

    const Grid ones = Grid::filled(4, 4, 1.0f);
    for (const auto& [at, counts] : {std::pair{0, grid_of({{4, 4}, {4, 4}})},
                                     std::pair{1, grid_of({{1, 2, 1}, {2, 4, 2}, {1, 2, 1}})}}) {
        const Grid average = level_of(overview(ones, {2}, OverviewMode::average, at, at), 2);
        CHECK(same_bits(average, Grid::filled(counts.nrows(), counts.ncols(), 1.0f)));
        CHECK(same_bits(level_of(overview(ones, {2}, OverviewMode::area_projected, at, at, nullptr), 2), counts));
        CHECK(same_bits(level_of(overview(ones, {2}, OverviewMode::area_geographic, at, at), 2), counts));
    }
}

TEST(only_finite_values_count) {
    const Grid none = grid_of({{kNaN, kInf}, {-kInf, kNaN}});
    const Grid one = grid_of({{kNaN, 5.0f}, {kNaN, kInf}});
    for (const OverviewMode mode : kModes) {
        CHECK(std::isnan(overview(none, {2}, mode).unwrap().at(2)(0, 0)));
        CHECK(overview(one, {2}, mode).unwrap().at(2)(0, 0) == (mode == OverviewMode::average ? 5.0f : 1.0f));
        const Grid level_one = level_of(overview(one, {1}, mode), 1);
        CHECK(mode == OverviewMode::average ? same_bits(level_one, one)
                                            : std::isnan(level_one(0, 0)) && std::isnan(level_one(1, 1)) &&
                                                  level_one(0, 1) == 1.0f);
    }
}

TEST(block_sums_run_in_32_bit_floats_rows_first) {
    // 1e8 + 1 rounds back to 1e8 in a float, so only row-major 32-bit sums give 1 / 4.
    const float values[] = {1e8f, 1.0f, -1e8f, 1.0f};
    const float others[] = {kInf, 2.0f, kNaN, 4.0f};
    Grid3 base3(2, 2, 2);
    for (std::size_t c = 0; c < 4; ++c) base3.cell(c / 2, c % 2)[0] = others[c], base3.cell(c / 2, c % 2)[1] = values[c];
    const Grid average = level_of(overview(grid_of({{1e8f, 1.0f}, {-1e8f, 1.0f}}), {2}, OverviewMode::average), 2);
    CHECK_EQ(average(0, 0), 0.25f);
    const LevelMap3 levels = overview_3d(base3, {2}).unwrap();
    CHECK(levels.at(2).cell(0, 0)[0] == 3.0f && levels.at(2).cell(0, 0)[1] == 0.25f);
}

TEST(row_area_factors_follow_the_latitude_of_each_row) {
    // Rows one degree high, row k centred on latitude 90 - k; the last lies past the pole.
    const Affine degrees{1, 0, -180, 0, -1, 90.5};
    Grid base = Grid::filled(182, 2, 1.0f);
    base(3, 1) = kNaN;
    const LevelMap levels = overview(base, {1, 2}, OverviewMode::area_geographic, 0, 0, &degrees).unwrap();
    const Grid& cells = levels.at(1);
    CHECK(cells(0, 0) > 0.0f && cells(0, 0) < 1e-6f);  // cos(90 deg) rounds to a tiny float, not to 0
    CHECK(cells(90, 0) == 1.0f && cells(181, 0) > 0.017f && cells(181, 0) < 0.018f);
    CHECK(std::isnan(cells(3, 1)) && cells(45, 0) == cells(45, 1) && cells(45, 0) > cells(44, 0));
    CHECK_EQ(levels.at(2)(1, 0), (cells(2, 0) + cells(2, 1)) + cells(3, 0));

    // Without a finite latitude a cell weighs 0.
    const Affine nowhere{1, 0, 0, 0, -1, kInf};
    const Grid weightless = level_of(overview(base, {1}, OverviewMode::area_geographic, 0, 0, &nowhere), 1);
    CHECK_EQ(weightless(5, 0), 0.0f);
}

TEST(bad_levels_and_missing_transforms_are_error_values) {
    const Grid base = Grid::filled(4, 4, 1.0f);
    for (const auto& [levels, message] : {std::pair{Levels{1, 3}, "Level 3 is not a power of 2"},
                                          std::pair{Levels{0}, "Level 0 is not a power of 2"},
                                          std::pair{Levels{2, 6, 5}, "Level 6 is not a power of 2"}}) {
        for (const OverviewMode mode : kModes) CHECK_EQ(error_of(overview(base, levels, mode, 0, 0, nullptr)), message);
        CHECK_EQ(error_of(overview_3d(Grid3(4, 4, 2), levels)), message);
    }
    CHECK_EQ(error_of(overview(base, {1, 2}, OverviewMode::area_geographic, 0, 0, nullptr)),
             std::string("Area resampling requires base-level transform information."));
}

TEST(level_rows_without_values_are_an_internal_fault) {
    const Grid no_columns(3, 0);
    CHECK(overview(no_columns, {1}, OverviewMode::average).ok());
    CHECK_THROWS_TEXT(overview(no_columns, {1, 2}, OverviewMode::area_projected), "chunk_size must not be zero");
    // Off a block boundary the level grid keeps one column of empty blocks.
    CHECK(std::isnan(overview(no_columns, {2}, OverviewMode::average, 0, 1).unwrap().at(2)(1, 0)));
    CHECK(overview_3d(Grid3(3, 2, 0), {1}).ok());
    CHECK_THROWS_TEXT(overview_3d(Grid3(3, 2, 0), {1, 2}), "chunk_size must not be zero");
}

TEST(results_do_not_depend_on_the_pool_size) {
    Grid base(37, 29);
    Grid3 base3(37, 29, 3);
    fill_random(base.data(), base.size(), 7);
    fill_random(base3.data(), base3.size(), 8);
    const Levels levels{1, 2, 4, 8, 64};
    for (const std::size_t workers : {2, 4}) {
        for (const OverviewMode mode : kModes) {
            const LevelMap serial = overview(base, levels, mode, 5, 3, &kEquator, 1).unwrap();
            const LevelMap parallel = overview(base, levels, mode, 5, 3, &kEquator, workers).unwrap();
            for (const auto& [key, grid] : serial) CHECK(same_bits(grid, parallel.at(key)));
        }
        const LevelMap3 serial = overview_3d(base3, levels, 5, 3, 1).unwrap();
        const LevelMap3 parallel = overview_3d(base3, levels, 5, 3, workers).unwrap();
        for (const auto& [key, grid] : serial) CHECK(same_bits(grid, parallel.at(key)));
    }
}

TEST(a_tile_gets_the_coarse_cells_of_the_whole_raster) {
    const std::int32_t whole_r0 = 2, whole_c0 = 1, cut_row = 7, cut_col = 13, tile_rows = 37, tile_cols = 45;
    Grid whole(64, 80);
    fill_random(whole.data(), whole.size(), 11);
    Grid tile(tile_rows, tile_cols);
    for (std::int32_t r = 0; r < tile_rows; ++r) {
        std::copy_n(whole.row(cut_row + r).begin() + cut_col, tile_cols, tile.row(r).begin());
    }
    const std::int32_t tile_r0 = whole_r0 + cut_row, tile_c0 = whole_c0 + cut_col;
    const Levels levels{2, 4, 8, 16};
    for (const OverviewMode mode : {OverviewMode::average, OverviewMode::area_projected}) {
        const LevelMap of_whole = overview(whole, levels, mode, whole_r0, whole_c0).unwrap();
        const LevelMap of_tile = overview(tile, levels, mode, tile_r0, tile_c0).unwrap();
        for (const auto& [l, coarse] : of_tile) {
            const auto [g0, h0] = global_coarse(l, tile_r0, tile_c0);
            const auto [whole_g0, whole_h0] = global_coarse(l, whole_r0, whole_c0);
            int compared = 0;
            for (std::int32_t g = g0; g < g0 + static_cast<std::int32_t>(coarse.nrows()); ++g) {
                for (std::int32_t h = h0; h < h0 + static_cast<std::int32_t>(coarse.ncols()); ++h) {
                    if (l * g < tile_r0 || l * (g + 1) > tile_r0 + tile_rows) continue;
                    if (l * h < tile_c0 || l * (h + 1) > tile_c0 + tile_cols) continue;
                    const float a = coarse(g - g0, h - h0), b = of_whole.at(l)(g - whole_g0, h - whole_h0);
                    CHECK(std::memcmp(&a, &b, sizeof a) == 0);
                    ++compared;
                }
            }
            CHECK(compared > 0);
        }
    }
}
