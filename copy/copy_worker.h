// The chunk worker: moves one chunk of a copy job from the source endpoint to
// the destination, skipping data the destination already holds, verifying
// chunks read from a store against their hash, and adding its byte counts and
// first failure to the job.
#pragma once

struct CopyWorkItem;

// The routine a pool thread runs for one handed-out work item. Results travel
// through the item's job; the item returns to the job's free list.
void copy_chunk(void* work_item);
