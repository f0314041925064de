// Source shapes: where a source lies against the coarsest level's lattice and
// against the raster's edges. Away from no-data cells, sources of one shape in
// a band of rows have the same window cells relative to themselves, the same
// graph topology and often the same length search, so windows, graphs and the
// kernel keep what they compute per shape in a `ShapeTable` and hand it on.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet {

// Where a source lies against a level lattice and against the raster's edges:
// its position inside its block, and the base cells of the raster before and
// after it on each axis, counted only up to a distance past which the edge no
// longer matters.
struct Placement {
    std::int32_t row = 0, col = 0;
    std::int32_t rows_before = 0, rows_after = 0, cols_before = 0, cols_after = 0;

    bool operator==(const Placement&) const = default;

    // Spreads placements over the low bits: positions inside a block of `side`
    // cells per axis get distinct values on every `side` consecutive rows, and
    // the room around the source, the same for every source away from the
    // raster's edge, moves them all alike there.
    std::size_t hash(std::int32_t side) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(side) + static_cast<std::size_t>(col) +
               17 * static_cast<std::size_t>(rows_before + 3 * rows_after + 5 * cols_before + 7 * cols_after);
    }
};

// Rows of a band whose placements get slots of their own. Taller bands hold
// scattered sources, whose shapes seldom recur; slots for all their rows would
// hold a graph's topology each, tens of kilobytes, per thread.
inline constexpr std::size_t kRowsKeptApart = 16;

// The number of direct-mapped slots that keeps the placements of the sources
// of a band of `rows` rows apart, up to `kRowsKeptApart` rows, when positions
// repeat every `period` cells: a power of two of at least 64, and at most `most`.
inline std::size_t placement_slots(std::int32_t period, std::size_t rows, std::size_t most) {
    const auto p = static_cast<std::size_t>(std::max(period, 1));
    const std::size_t kept_rows = std::clamp<std::size_t>(rows, 1, std::min(p, kRowsKeptApart));
    return std::clamp<std::size_t>(std::bit_ceil(p * kept_rows), 64, most);
}

// A source's placement against the coarsest level, when every window of the
// source is its template whole: the window cells relative to the source, and so
// the source's graph, depend on nothing else.
struct SourceShape {
    bool regular = false;
    // Whether a later source of the band can have the same shape; what is
    // computed per shape is kept only then. Near the raster's edge on deep
    // levels, whose windows span most of it, shapes hardly ever recur, and
    // keeping each would only push what does recur out of the caches.
    bool recurs = false;
    Placement place;
};

// The shape of a source's first `levels` levels, placed against the coarsest of
// them: where those levels' windows are their templates whole, sources of one
// prefix in a band have the same graph on those levels. None when `levels` is 0.
struct LevelPrefix {
    std::size_t levels = 0;
    SourceShape shape;
};

// Values kept per source shape, direct-mapped by the hash of its placement.
template <class T>
class ShapeTable {
public:
    // Forgets every value, and makes room for the shapes of a band of `rows` rows
    // whose sources repeat their places every `period` cells on both axes.
    void start(std::int32_t period, std::size_t rows) {
        for (Entry& e : entries_) e.kept = false;
        period_ = std::max(period, 1);
        const std::size_t slots = placement_slots(period_, rows, kMostSlots);
        if (entries_.size() < slots) entries_.resize(slots);
        mask_ = slots - 1;
    }

    // The value kept for `shape`, or null.
    const T* find(const SourceShape& shape) const {
        const Entry& e = entry(shape);
        return e.kept && e.place == shape.place ? &e.value : nullptr;
    }

    // The value to fill for `shape`, in place of what its entry held; it is not
    // found until `keep` says it is filled.
    T& refill(const SourceShape& shape) {
        Entry& e = entry(shape);
        e.kept = false;
        e.place = shape.place;
        return e.value;
    }

    // Marks the value that `refill` gave for `shape` as filled.
    void keep(const SourceShape& shape) { entry(shape).kept = true; }

private:
    struct Entry {
        bool kept = false;
        Placement place;
        T value;
    };
    // Enough for the 16-row bands of dense sources on levels up to 64.
    static constexpr std::size_t kMostSlots = 1024;

    std::size_t slot(const SourceShape& shape) const { return shape.place.hash(period_) & mask_; }
    Entry& entry(const SourceShape& shape) { return entries_[slot(shape)]; }
    const Entry& entry(const SourceShape& shape) const { return entries_[slot(shape)]; }

    std::vector<Entry> entries_ = std::vector<Entry>(64);
    std::int32_t period_ = 1;
    std::size_t mask_ = 63;
};

}  // namespace quillet
