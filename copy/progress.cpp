// Progress line rendering.
#include "copy/progress.h"

#include <cstring>

#include "base/file.h"
#include "base/fmt.h"
#include "base/runtime.h"
#include "base/transfer.h"
#include "base/terminal.h"

namespace {

constexpr uint64_t REDRAW_MS = 200;
constexpr int PROGRESS_BAR = 40;
constexpr size_t PROGRESS_WIDTH_MAX = 120;

const char HASHES[] = "########################################";
const char DASHES[] = "----------------------------------------";

// Runs of 120 spaces and backspaces.
struct Runs {
  char spaces[PROGRESS_WIDTH_MAX + 1];
  char backspaces[PROGRESS_WIDTH_MAX + 1];
  Runs() {
    std::memset(spaces, ' ', PROGRESS_WIDTH_MAX);
    std::memset(backspaces, 8, PROGRESS_WIDTH_MAX);
    spaces[PROGRESS_WIDTH_MAX] = backspaces[PROGRESS_WIDTH_MAX] = 0;
  }
};
const Runs RUNS;

const char* tail(const char* run, uint64_t count) { return run + PROGRESS_WIDTH_MAX - count; }

// Whether a line is due: the whole copy always draws, anything else at most
// every REDRAW_MS.
bool redraw_due(const ProgressLine* line, uint64_t now, uint64_t total, uint64_t done) {
  return done >= total || now - line->last_draw >= REDRAW_MS;
}

}  // namespace

char* format_size(Allocator* pool, uint64_t value) {
  static const char* const UNITS[] = {"KB", "MB", "GB", "TB"};
  for (int unit = 0;; unit++) {
    const uint64_t q = value / 1000;
    const uint64_t r = value % 1000;
    if (q < 10) return pool_format(pool, "%u.%03u%s", q, r, UNITS[unit]);
    if (q < 100) return pool_format(pool, "%u.%02u%s", q, r / 10, UNITS[unit]);
    if (q < 1000) return pool_format(pool, "%u.%01u%s", q, r / 100, UNITS[unit]);
    if (unit + 1 == 4) return pool_format(pool, "%I64u%s", q, "TB");
    value = q;
  }
}

size_t progress_render(ProgressLine* line, uint64_t now, uint64_t width, uint64_t total,
                       uint64_t done, uint64_t sr, uint64_t dr, uint64_t dw, char* out) {
  if (line->start == 0) line->start = now;
  if (!redraw_due(line, now, total, done)) return 0;
  line->last_draw = now;
  const uint64_t elapsed = now - line->start;
  const uint64_t rate = elapsed ? done * 1000 / elapsed : 0;
  uint64_t bar = total ? done * PROGRESS_BAR / total : 0;
  if (bar > PROGRESS_BAR) bar = PROGRESS_BAR;
  const uint64_t seconds = elapsed / 1000;
  const uint64_t percent = total ? done * 100 / total : 100;
  ScratchPool pool;
  char text[PROGRESS_WIDTH_MAX + 1];
  size_t length = format_text(
      text, sizeof text, "|%s%s|% 3u%% %s/%s %s/sec %u:%02u:%02u sr=%s dr=%s dw=%s",
      HASHES + (PROGRESS_BAR - bar), DASHES + bar, percent,
      format_size(&pool, done), format_size(&pool, total), format_size(&pool, rate),
      seconds / 3600, seconds / 60 % 60, seconds % 60, format_size(&pool, sr),
      format_size(&pool, dr), format_size(&pool, dw));
  if (length > PROGRESS_WIDTH_MAX) length = PROGRESS_WIDTH_MAX;
  // On a narrower terminal the backspaces could not climb back over a wrap.
  if (width && length > width - 1) length = width - 1;
  text[length] = 0;
  const uint64_t clear = line->last_length > length ? line->last_length - length : 0;
  const size_t n = format_text(out, 361, "%s%s%s%s", tail(RUNS.backspaces, line->last_length),
                               text, tail(RUNS.spaces, clear), tail(RUNS.backspaces, clear));
  line->last_length = length;
  return n < 361 ? n : 360;
}

void progress_update(void* context, uint64_t total, uint64_t done, uint64_t sr, uint64_t dr,
                     uint64_t dw) {
  auto* line = static_cast<ProgressLine*>(context);
  const OsHandle out = standard_output();
  const uint64_t now = tick_ms();
  // The terminal is asked for its width only when a line is due: the copy
  // calls this before every chunk it hands out.
  if (line->start != 0 && !redraw_due(line, now, total, done)) return;
  char text[361];
  const size_t n = progress_render(line, now, terminal_width(out), total, done, sr, dr, dw, text);
  if (n == 0) return;
  size_t written = 0;
  (void)write_file(out, text, n, &written);
}
