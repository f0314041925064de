// Source shapes: where a source lies against the coarsest level's lattice and
// against the raster's edges. Away from no-data cells, sources of one shape in
// a band of rows have the same window cells relative to themselves, the same
// graph topology and often the same length search, so windows, graphs and the
// kernel keep what they compute per shape in a `ShapeTable` and hand it on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillet {

// Where a source lies against a level lattice and against the raster's edges:
// its position inside its block, and the base cells of the raster before and
// after it on each axis, counted only up to a distance past which the edge no
// longer matters.
struct Placement {
    std::int32_t row = 0, col = 0;
    std::int32_t rows_before = 0, rows_after = 0, cols_before = 0, cols_after = 0;

    bool operator==(const Placement&) const = default;

    // Spreads the placements of the sources of a band over the low bits.
    std::size_t hash() const {
        return static_cast<std::size_t>(8 * row + col) +
               17 * static_cast<std::size_t>(rows_before + 3 * rows_after + 5 * cols_before + 7 * cols_after);
    }
};

// A source's placement against the coarsest level, when every window of the
// source is its template whole: the window cells relative to the source, and so
// the source's graph, depend on nothing else.
struct SourceShape {
    bool regular = false;
    Placement place;
};

// Values kept per source shape, direct-mapped by the hash of its placement.
template <class T>
class ShapeTable {
public:
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

    void clear() {
        for (Entry& e : entries_) e.kept = false;
    }

private:
    struct Entry {
        bool kept = false;
        Placement place;
        T value;
    };
    Entry& entry(const SourceShape& shape) { return entries_[shape.place.hash() & 63]; }
    const Entry& entry(const SourceShape& shape) const { return entries_[shape.place.hash() & 63]; }

    std::array<Entry, 64> entries_;
};

}  // namespace quillet
