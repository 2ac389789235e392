// Process preparation for the file services on Windows.
#include "platform/windows/internal.h"

void os_process_setup() {
  // Nothing to prepare: a write to a closed pipe already fails with 109, and
  // the standard handles are not numbers that a new file could take.
}
