// The progress line of a copy: a 40-character bar, percentage, bytes done of
// the total, rate, elapsed time and the pipeline's three byte counters, redrawn
// in place (with backspaces) at most every 200 ms. Driver thread only.
#pragma once

#include <cstdint>

#include "base/scratch.h"

// One per copied file; all zero before the copy.
struct ProgressLine {
  uint64_t start;        // tick of the first call (0: not started)
  uint64_t last_draw;    // tick of the last redraw
  uint64_t last_length;  // characters of the last line drawn (0: nothing drawn)
};

// The pipeline's progress callback; `context` is the ProgressLine.
void progress_update(void* context, uint64_t total, uint64_t done, uint64_t sr, uint64_t dr,
                     uint64_t dw);
// Builds the text of one redraw at tick `now` into `out` (at most 360 bytes and
// a terminator) and returns its length, or 0 when no redraw is due. Updates
// the line's state as a draw would. `width` is the terminal's width (0: none).
size_t progress_render(ProgressLine* line, uint64_t now, uint64_t width, uint64_t total,
                       uint64_t done, uint64_t sr, uint64_t dr, uint64_t dw, char* out);

// A byte count as a short text ("262.1KB", "1.000MB", "1000TB"), truncated,
// in `pool`; null when the pool fails.
char* format_size(Allocator* pool, uint64_t value);
