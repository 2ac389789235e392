// Walks over a store's files: the folder tree that holds its chunk maps
// (everything outside the metadata folder, not descending into a nested store
// or through a folder link), and the chunk dictionary, whose files are told
// apart by name and place: chunk files, temporary files of unfinished writes,
// chunk files moved aside as damaged, and anything else. Each folder is read
// whole before its entries are visited, so a visitor may delete the file it
// is shown. One thread at a time.
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
// like the metadata folder, nested stores and links that lead nowhere; a folder link is visited as
// STORE_FILE_FOLDER_LINK and not entered (it may lead anywhere, even above itself). Returns 0, the
// visitor's result, or an error with a text in `pool` (a folder that cannot be read; a nested store
// whose description cannot be read).
[[nodiscard]] int store_walk_tree(ScratchPool* pool, const char** out_err, const char* folder,
                                  StoreVisit visit, void* context);

// Visits every file of `store`'s chunk dictionary (the store info file
// excepted) with its kind. A folder where a chunk file belongs is not entered
// and is visited as STORE_FILE_OTHER. Returns as store_walk_tree.
[[nodiscard]] int store_walk_dictionary(ScratchPool* pool, const char** out_err,
                                        const StoreInfo* store, StoreVisit visit, void* context);

// Whether `name` is 64 lower-case hexadecimal digits; *out_hash (32 bytes,
// optional) then receives the bytes they stand for.
bool store_parse_chunk_name(const char* name, size_t length, uint8_t* out_hash);

struct ChunkMap;

// Reads the file at `path` of a store's tree as a chunk map when its first
// bytes are the chunk map magic: *out_map receives the map (the caller
// releases it), or null for a plain file (other first bytes, an empty file,
// a pipe or device). Returns 0, or an error with a text naming the file when
// it cannot be opened or read, or begins like a chunk map and does not
// validate (a cut file is not taken for a plain one).
[[nodiscard]] int store_read_map(ChunkMap** out_map, ScratchPool* pool, const char** out_err,
                                 const char* path);
