// Coverage of rings already in pixel coordinates, computed by clipping every ring
// against every pixel: the straightforward computation that bench_coverage.py
// measures the module against.
//
// usage: coverage_by_clipping RINGS OUT
// RINGS holds five uint64 (nrows, ncols, first_row, row_step, ring count), then per
// ring two uint64 (point count, 1 for a hole) and its (col, row) float64 pairs.
// OUT receives rows first_row, first_row + row_step, ... of the clamped grid as
// float32; the seconds spent on the computation are printed.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "coverage_clip.hpp"

using namespace quillet;

namespace {

struct SignedRing {
    std::vector<PixelPoint> points;
    float sign;
};

struct Input {
    std::size_t nrows, ncols, first_row, row_step;
    std::vector<SignedRing> rings;

    std::size_t rows_out() const { return first_row < nrows ? (nrows - first_row - 1) / row_step + 1 : 0; }
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

template <class T>
bool read_into(std::FILE* f, T* out, std::size_t n) {
    return std::fread(out, sizeof(T), n, f) == n;
}

bool read_input(std::FILE* f, Input& in) {
    std::uint64_t header[5];
    if (!read_into(f, header, 5)) return false;
    in = {header[0], header[1], header[2], header[3], {}};
    if (in.row_step == 0) return false;
    for (std::uint64_t i = 0; i < header[4]; ++i) {
        std::uint64_t ring_header[2];
        if (!read_into(f, ring_header, 2)) return false;
        SignedRing ring{std::vector<PixelPoint>(ring_header[0]), ring_header[1] ? -1.0f : 1.0f};
        if (!read_into(f, ring.points.data(), ring.points.size())) return false;
        in.rings.push_back(std::move(ring));
    }
    return true;
}

// The requested rows of the clamped coverage grid.
Grid coverage_rows(const Input& in) {
    Grid rows(in.rows_out(), in.ncols);
    ClipScratch scratch;
    for (const SignedRing& ring : in.rings) {
        const CellWindow window = ring_window(ring.points, in.nrows, in.ncols);
        if (window.empty()) continue;
        for (std::size_t i = 0; i < rows.nrows(); ++i) {
            const std::size_t r = in.first_row + i * in.row_step;
            if (r >= window.row_begin && r < window.row_end) {
                add_row_by_clipping(rows.row(i), r, ring.points, window, ring.sign, scratch);
            }
        }
    }
    for (std::size_t i = 0; i < rows.size(); ++i) rows.data()[i] = std::clamp(rows.data()[i], 0.0f, 1.0f);
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s RINGS OUT\n", argv[0]);
        return 2;
    }
    File in_file(std::fopen(argv[1], "rb"), &std::fclose);
    Input in;
    if (!in_file || !read_input(in_file.get(), in)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const Grid rows = coverage_rows(in);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    File out_file(std::fopen(argv[2], "wb"), &std::fclose);
    if (!out_file || std::fwrite(rows.data(), sizeof(float), rows.size(), out_file.get()) != rows.size()) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("%.6f\n", elapsed.count());
    return 0;
}
