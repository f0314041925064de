// The two shapes of focal window a call can ask for. The binding reads it from
// `window_mode`; window geometry and link attachment depend on it.
#pragma once

#include "common/fault.hpp"

namespace quillet {

// circular: a disc at the base level and annuli above it, links to the coarser
// level from the cells that the outer circle cuts; square: squares and square
// annuli, links from the cells on the border of the window.
enum class WindowMode { circular = 0, square = 1 };

// Where a switch on the mode meets a value that no enumerator names.
[[noreturn]] inline void raise_unknown_window_mode() { raise_fault("unknown window mode"); }

}  // namespace quillet
