// Walks over a store's files: the folder tree that holds its chunk maps
// (everything outside the metadata folder, not descending into a nested store
// or through a folder link), and the chunk dictionary, whose files are told
// apart by name and place: chunk files, temporary files of unfinished writes,
// chunk files moved aside as damaged, and anything else. Each folder is read
// whole before its entries are visited, so a visitor may delete the file it
// is shown. One thread at a time, but for the dictionary walk on lanes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/folder.h"
#include "base/scratch.h"
#include "store/store.h"

// Temporary files (of chunk files and chunk maps) begin with this.
constexpr char STORE_TEMP_PREFIX[] = ".zuvo-tmp-";
// A damaged chunk file moved aside is named after the chunk with this suffix
// (and, when that name is taken, a number after it): no reader or writer
// takes it for a chunk.
constexpr char STORE_DAMAGED_SUFFIX[] = ".damaged";

// What a file is.
enum : int {
  STORE_FILE_PLAIN = 0,    // a file of the tree: maybe a chunk map
  STORE_FILE_TEMP = 1,     // a temporary file (tree or dictionary)
  STORE_FILE_CHUNK = 2,    // a chunk file in its place in the dictionary
  STORE_FILE_DAMAGED = 3,  // a chunk file moved aside as damaged
  STORE_FILE_OTHER = 4,    // anything else in the dictionary
  STORE_FILE_FOLDER_LINK = 5,  // a link to a folder in the tree: not entered
  STORE_FILE_DEAD_LINK = 6,    // a link in the tree whose target cannot be described
  STORE_FILE_COUNT
};

// One visited file: its full path, where its name begins in it, its record
// (a followed link's target), its kind and, for a chunk file, its hash.
struct StoreFile {
  const char* path;
  size_t name_offset;
  const FileInfo* info;
  int kind;
  uint8_t hash[32];
};

// Called for each file; a non-zero result stops the walk and is returned.
using StoreVisit = int (*)(void* context, const StoreFile* file);

// Visits every file below `folder` (a store folder or a folder inside one)
// that belongs to that store's tree, as STORE_FILE_PLAIN or STORE_FILE_TEMP. Skips folders named
// like the metadata folder and nested stores. A folder link is visited as STORE_FILE_FOLDER_LINK
// and not entered (it may lead anywhere, even above itself); a link whose target cannot be
// described (dangling, unreachable, not permitted) as STORE_FILE_DEAD_LINK, unless it is named
// like a temporary file or the metadata folder. Returns 0, the visitor's result, or an error with
// a text in `pool` (a folder that cannot be read; a nested store whose description cannot be read).
[[nodiscard]] int store_walk_tree(ScratchPool* pool, const char** out_err, const char* folder,
                                  StoreVisit visit, void* context);

// What one walk of a tree read, to tell whether the tree changed between two walks.
struct StoreTreeSnapshot {
  // Of every folder read (its path, and its record queried after its entries
  // were listed), every entry (name and record) and every nested store skipped.
  uint8_t digest[32];
  bool whole_seconds;  // a time stamp had no sub-second part: the file system may keep seconds only
  bool moved;  // a folder was gone, or not the one its parent listed, when queried: matches no walk
};

// store_walk_tree that also fills *out_snapshot. A folder's record is queried
// after its entries are listed, so a change to the folder after its listing
// moves the time stamp this walk or the next one records.
[[nodiscard]] int store_walk_tree_snapshot(ScratchPool* pool, const char** out_err,
                                           const char* folder, StoreVisit visit, void* context,
                                           StoreTreeSnapshot* out_snapshot);

// Visits every file of `store`'s chunk dictionary (the store info file
// excepted) with its kind. A folder where a chunk file belongs is not entered
// and is visited as STORE_FILE_OTHER. Returns as store_walk_tree.
[[nodiscard]] int store_walk_dictionary(ScratchPool* pool, const char** out_err,
                                        const StoreInfo* store, StoreVisit visit, void* context);

// Called for each file of a walk on lanes, on the thread of lane `lane`
// (below the lane count); a failure's text goes to `pool` and *out_err.
using StoreLaneVisit = int (*)(void* context, uint32_t lane, const StoreFile* file,
                               ScratchPool* pool, const char** out_err);

// The most lanes a walk runs.
constexpr uint32_t STORE_WALK_MAX_LANES = 16;

// store_walk_dictionary on up to `lanes` threads at once (this one and pool
// threads), so that the work of visiting (deleting, above all) keeps several
// processors and the disk's queue busy. The entries of the dictionary's top
// folder are handed out in name order; one lane visits the whole of an entry,
// in the order of store_walk_dictionary, before it takes the next, and calls
// `visit` from its own thread. After a failure no entry is started; lanes
// on entries after it stop at their next file, those on entries before it run
// to their end. Returns 0, or the failure of the earliest entry with its text
// in `pool`.
[[nodiscard]] int store_walk_dictionary_lanes(ScratchPool* pool, const char** out_err,
                                              const StoreInfo* store, uint32_t lanes,
                                              StoreLaneVisit visit, void* context);

// Whether `name` is 64 lower-case hexadecimal digits; *out_hash (32 bytes,
// optional) then receives the bytes they stand for.
bool store_parse_chunk_name(const char* name, size_t length, uint8_t* out_hash);
