// Row-major rasters owned by the core: `Grid` (32-bit floats, NaN = no data),
// `BoolGrid` (the mask) and `Grid3` (a vector of `depth` floats per cell).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>

#include "common/fault.hpp"

namespace quillet {

// Number of elements of an array with the given dimensions. Faults with the
// generic size text when the product of the non-zero dimensions, or the byte
// size of that many elements, does not fit a signed 64-bit size.
inline std::size_t checked_element_count(std::initializer_list<std::uint64_t> dims, std::size_t element_bytes) {
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t nonzero_product = 1;
    bool any_zero = false;
    for (std::uint64_t d : dims) {
        if (d == 0) {
            any_zero = true;
            continue;
        }
        if (nonzero_product > limit / d) raise_fault(kSizeOverflowText);
        nonzero_product *= d;
    }
    if (nonzero_product > limit / element_bytes) raise_fault(kSizeOverflowText);
    return any_zero ? 0 : static_cast<std::size_t>(nonzero_product);
}

// A heap buffer of trivially copyable elements. Zeroed buffers come from calloc,
// so large grids are not touched page by page before they are used.
template <class T>
class Buffer {
public:
    enum class Init { zeroed, uninitialised };

    Buffer() = default;
    Buffer(std::size_t size, Init init) : size_(size) {
        if (size == 0) return;
        void* p = init == Init::zeroed ? std::calloc(size, sizeof(T)) : std::malloc(size * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_.reset(static_cast<T*>(p));
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    const T& operator[](std::size_t i) const { return data_.get()[i]; }

    // Gives up ownership: the caller frees the storage with std::free.
    T* release() {
        size_ = 0;
        return data_.release();
    }

private:
    struct FreeDeleter {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, FreeDeleter> data_;
    std::size_t size_ = 0;
};

// nrows x ncols cells, row-major.
template <class T>
class Raster {
public:
    using Init = typename Buffer<T>::Init;

    Raster() = default;
    Raster(std::size_t nrows, std::size_t ncols, Init init = Init::zeroed)
        : nrows_(nrows), ncols_(ncols), cells_(checked_element_count({nrows, ncols}, sizeof(T)), init) {}

    // A raster with every cell set to `value`.
    static Raster filled(std::size_t nrows, std::size_t ncols, T value) {
        Raster r(nrows, ncols, Init::uninitialised);
        std::fill(r.cells_.data(), r.cells_.data() + r.cells_.size(), value);
        return r;
    }

    std::size_t nrows() const { return nrows_; }
    std::size_t ncols() const { return ncols_; }
    std::size_t size() const { return cells_.size(); }

    T* data() { return cells_.data(); }
    const T* data() const { return cells_.data(); }
    // Gives up the cells, leaving an empty raster; the caller frees them with std::free.
    T* release_cells() {
        nrows_ = ncols_ = 0;
        return cells_.release();
    }
    std::span<T> row(std::size_t r) { return {cells_.data() + r * ncols_, ncols_}; }
    std::span<const T> row(std::size_t r) const { return {cells_.data() + r * ncols_, ncols_}; }
    T& operator()(std::size_t r, std::size_t c) { return cells_[r * ncols_ + c]; }
    const T& operator()(std::size_t r, std::size_t c) const { return cells_[r * ncols_ + c]; }

    // Element access that faults with the generic index text outside the raster.
    const T& at(std::size_t r, std::size_t c) const {
        check_index(r, nrows_);
        check_index(c, ncols_);
        return (*this)(r, c);
    }

private:
    std::size_t nrows_ = 0;
    std::size_t ncols_ = 0;
    Buffer<T> cells_;
};

using Grid = Raster<float>;
using BoolGrid = Raster<bool>;

// nrows x ncols x depth floats, depth index fastest.
class Grid3 {
public:
    using Init = Buffer<float>::Init;

    Grid3() = default;
    Grid3(std::size_t nrows, std::size_t ncols, std::size_t depth, Init init = Init::zeroed)
        : nrows_(nrows), ncols_(ncols), depth_(depth),
          values_(checked_element_count({nrows, ncols, depth}, sizeof(float)), init) {}

    std::size_t nrows() const { return nrows_; }
    std::size_t ncols() const { return ncols_; }
    std::size_t depth() const { return depth_; }
    std::size_t size() const { return values_.size(); }

    float* data() { return values_.data(); }
    const float* data() const { return values_.data(); }
    std::span<float> cell(std::size_t r, std::size_t c) { return {values_.data() + (r * ncols_ + c) * depth_, depth_}; }
    std::span<const float> cell(std::size_t r, std::size_t c) const {
        return {values_.data() + (r * ncols_ + c) * depth_, depth_};
    }

private:
    std::size_t nrows_ = 0;
    std::size_t ncols_ = 0;
    std::size_t depth_ = 0;
    Buffer<float> values_;
};

}  // namespace quillet
