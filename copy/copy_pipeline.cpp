// The copy driver: job set-up, hand-out loop, destination finish and clean-up.
#include "copy/copy_pipeline.h"

#include <new>

#include "base/err.h"
#include "base/file.h"
#include "base/folder.h"
#include "base/path.h"
#include "base/runtime.h"
#include "base/text.h"
#include "base/transfer.h"
#include "base/work_item.h"
#include "copy/copy_worker.h"
#include "copy/driver_loop.h"
#include "hash/chunk_hash.h"
#include "store/chunk_map.h"
#include "store/store.h"

namespace {

// Open modes.
constexpr uint32_t MODE_SOURCE = OPEN_READ_ATTRIBUTES | OPEN_READ | OPEN_ASYNC;
constexpr uint32_t MODE_DEST_UNBUFFERED = OPEN_UNBUFFERED | OPEN_ASYNC;
constexpr uint32_t MODE_DEST_BUFFERED = OPEN_ASYNC;
constexpr uint32_t MODE_READ_WRITE =
    OPEN_READ_ATTRIBUTES | OPEN_READ | OPEN_WRITE_ATTRIBUTES | OPEN_WRITE;
constexpr uint32_t MODE_MAP_FILE = 0;

// Plain destinations are written unbuffered into blocks reserved up front.
// Measured on a 2-core VM, 256 MiB: restores 890-990 MB/s and plain copies
// 2610 against 300-1330 and 370-6220 MB/s through the page cache, whose rate
// follows how dear fresh pages are to the host; and a restored disk image
// does not push everything else out of the cache.
bool g_unbuffered = true;

int job_error(CopyJob* job) {
  return std::atomic_ref<int>(job->error).load(std::memory_order_acquire);
}

// Records the first failure of the job (driver side).
int job_fail(CopyJob* job, int rc, const char* text) {
  rlock_acquire(&job->lock);
  if (job->error == 0) {
    job->error_text = pool_copy_text(&job->pool, text);
    std::atomic_ref<int>(job->error).store(rc, std::memory_order_release);
  }
  rlock_release(&job->lock);
  return rc;
}

struct Driver {
  CopyJob* job;
  const char* source_path;
  const char* dest_path;
  const char* text = nullptr;  // error text of the failing set-up step, in job->pool
  char* temp_path = nullptr;   // the chunk map image's temporary file
  bool dest_created = false;   // a plain destination this call created
  int64_t source_written = 0;  // the plain source's last write time when opened
  uint64_t source_size = 0;    // and its size then
  bool source_noted = false;
};

int driver_fail(Driver* d, int rc, const char* format, const char* path = nullptr) {
  d->text = pool_format(&d->job->pool, format, path);
  return rc;
}

// What a path names, asked through a handle that reads no data (opening a
// pipe for reading would wait for a writer). False when it cannot be asked.
bool describe_path(const char* path, FileInfo* out_info, uint8_t* out_kind) {
  OsHandle h = OS_NO_HANDLE;
  if (open_file(&h, path, 0) != 0) return false;
  *out_kind = 0;
  const bool known = query_handle_info(h, out_info) == 0 && handle_kind(h, out_kind) == 0;
  close_handle(h);
  return known;
}

// Refuses sources that cannot be copied: a pipe or a character device has no
// size and no positioned reads (it would copy as empty, or wait forever), and
// a destination that is the source itself would be cut or overwritten while
// it is read. Paths that cannot be described are left to the opens.
int check_paths(Driver* d) {
  FileInfo source{};
  uint8_t source_kind = 0;
  if (!describe_path(d->source_path, &source, &source_kind)) return 0;
  if (!source.folder && (source_kind & HANDLE_CLASS_MASK) != HANDLE_CLASS_DISK) {
    return driver_fail(d, ERR_INVALID_PARAMETER, "Source is a pipe or character device \"%s\"",
                       d->source_path);
  }
  FileInfo dest{};
  uint8_t dest_kind = 0;
  if (!describe_path(d->dest_path, &dest, &dest_kind)) return 0;
  const bool has_id = (source.file_id[0] | source.file_id[1]) != 0;
  if (!source.folder && has_id && source.volume_serial == dest.volume_serial &&
      source.file_id[0] == dest.file_id[0] && source.file_id[1] == dest.file_id[1]) {
    return driver_fail(d, ERR_INVALID_PARAMETER, "Source and destination are the same file \"%s\"",
                       d->dest_path);
  }
  return 0;
}

// Whether the plain source still has the size and write time it had when it
// was opened (the first call notes the time). Chunks of a file rewritten
// while it is read would form a map of data the file never held.
bool source_unchanged(Driver* d) {
  OsFileBasicInfo basic{};
  uint64_t size = 0;
  if (query_file_info(d->job->source.handle, OS_FILE_BASIC_INFO, &basic, sizeof basic,
                      nullptr) != 0 ||
      file_size(d->job->source.handle, &size) != 0) {
    return true;  // cannot tell: the reads themselves caught what they could
  }
  if (!d->source_noted) {
    d->source_noted = true;
    d->source_written = basic.last_write_time;
    d->source_size = size;
  }
  return size == d->source_size && basic.last_write_time == d->source_written;
}

int open_source(Driver* d) {
  CopyJob* job = d->job;
  const char* map_text = nullptr;
  bool is_map = false;
  const int map_rc = chunk_map_recognize(&is_map, &job->source.map, nullptr, &job->pool,
                                         &map_text, d->source_path);
  // Copying a damaged map's bytes would hand over the map in place of the
  // file it describes.
  if (map_rc == ERR_UNKNOWN_REVISION) {
    d->text = map_text;
    return map_rc;
  }
  if (map_rc == 0 && is_map) {
    job->total = job->source.map->file_size;
    return store_locate(&job->source.store, &job->pool, &d->text, d->source_path);
  }
  int rc = open_file(&job->source.handle, d->source_path, MODE_SOURCE);
  if (rc) return driver_fail(d, rc, "Unable to open source \"%s\"", d->source_path);
  // Only a file known not to be a chunk map is copied as plain data.
  if (map_rc) {
    d->text = map_text;
    return map_rc;
  }
  rc = file_size(job->source.handle, &job->total);
  if (rc) return driver_fail(d, rc, "Unable to open source \"%s\"", d->source_path);
  if (job->total == 0) {
    // Some files (procfs, sysfs) report size 0 and still hold data: copying
    // them as empty would report a copy that never happened.
    uint8_t byte = 0;
    size_t got = 0;
    rc = read_file_at(job->source.handle, &job->source.kind, 0, &byte, 1, &got);
    if (rc) return driver_fail(d, rc, "Unable to read source \"%s\"", d->source_path);
    if (got) {
      return driver_fail(d, ERR_INVALID_PARAMETER,
                         "Source size cannot be known: it reports 0 bytes but holds data \"%s\"",
                         d->source_path);
    }
  }
  (void)source_unchanged(d);  // notes the write time
  return 0;
}

// A chunk map destination: the image goes to a temporary file beside it and
// replaces the destination only when everything is stored (finish_map).
int open_map_destination(Driver* d) {
  CopyJob* job = d->job;
  bool is_folder = false;
  if (query_path_kind(d->dest_path, &is_folder) == 0) {
    if (!(job->options & COPY_OVERWRITE) || is_folder) {
      const int rc =
          is_folder && (job->options & COPY_OVERWRITE) ? ERR_ACCESS_DENIED : ERR_ALREADY_EXISTS;
      return driver_fail(d, rc,
                         rc == ERR_ALREADY_EXISTS ? "Unable to create destination \"%s\""
                                                  : "Unable to open/create destination \"%s\"",
                         d->dest_path);
    }
  }
  const char* folder = path_full(&job->pool, d->dest_path, "..");
  if (!folder)
    return driver_fail(d, ERR_INVALID_NAME, "Unable to open/create destination \"%s\"",
                       d->dest_path);
  // A map copied in again keeps who may read it: the old map's permission
  // bits and, where the process may give them, its owner and group.
  OsAccess old{};
  const bool replaces = query_path_access(d->dest_path, false, &old) == 0;
  const int rc = create_temp_file(&job->dest.handle, &job->pool, folder, MODE_MAP_FILE,
                                  &d->temp_path, replaces ? &old : nullptr);
  if (rc) return driver_fail(d, rc, "Unable to open/create destination \"%s\"", d->dest_path);
  return 0;
}

// Ends a plain destination that cannot take the source's size; one this copy
// created is removed again.
int fail_size(Driver* d, int rc) {
  CopyJob* job = d->job;
  if (d->dest_created) {
    close_handle(job->dest.handle);
    job->dest.handle = OS_NO_HANDLE;
    (void)delete_file(d->dest_path);
    d->dest_created = false;
  }
  return driver_fail(d, rc, "Unable to set destination file size \"%s\"", d->dest_path);
}

int open_plain_destination(Driver* d) {
  CopyJob* job = d->job;
  const uint32_t mode = g_unbuffered ? MODE_DEST_UNBUFFERED : MODE_DEST_BUFFERED;
  int rc = create_file(&job->dest.handle, d->dest_path, mode);
  if (rc == 0) {
    d->dest_created = true;
  } else if (!(job->options & COPY_OVERWRITE)) {
    return driver_fail(d, rc, "Unable to create destination \"%s\"", d->dest_path);
  } else {
    rc = open_file(&job->dest.handle, d->dest_path, mode | MODE_READ_WRITE);
    if (rc) return driver_fail(d, rc, "Unable to open/create destination \"%s\"", d->dest_path);
  }
  // Only a regular file can be cut after a padded last write; anything that
  // cannot be asked is treated as a device, which is written in place.
  OsFileBasicInfo basic{};
  job->dest.fixed_size =
      query_file_info(job->dest.handle, OS_FILE_BASIC_INFO, &basic, sizeof basic, nullptr) != 0 ||
      (basic.attributes & (OS_ATTRIBUTE_DEVICE | OS_ATTRIBUTE_DIRECTORY)) != 0;
  // The destination takes the source's size; a device of fixed size may not.
  uint64_t size = 0;
  (void)file_size(job->dest.handle, &size);
  const bool was_empty = size == 0;
  if (size != job->total) {
    if (was_empty) job->options &= ~COPY_AVOID_DUPLICATES;  // nothing there to compare
    // A device of another size is not a full disk: freeing space cannot help,
    // -p can.
    rc = job->dest.fixed_size ? ERR_NOT_SUPPORTED : set_file_end(job->dest.handle, job->total);
    (void)file_size(job->dest.handle, &size);
    if (size != job->total && !((job->options & COPY_ANY_SIZE) && size != 0)) {
      if (rc == 0) rc = ERR_HANDLE_DISK_FULL;
      return fail_size(d, rc);
    }
    // An empty destination gets all its blocks at once: a disk too small
    // fails here rather than after most of the data, and writes into
    // reserved blocks run side by side instead of one at a time.
    if (was_empty) {
      rc = reserve_file_space(job->dest.handle, job->total);
      if (rc == ERR_DISK_FULL || rc == ERR_HANDLE_DISK_FULL) return fail_size(d, rc);
    }
  }
  if (size < job->total) job->total = size;
  return 0;
}

int check_chunk_sizes(Driver* d) {
  CopyJob* job = d->job;
  if (job->source.map) {
    job->chunk_size = job->source.map->chunk_size;
    if (job->chunk_size != job->source.store->chunk_size) {
      return driver_fail(d, ERR_INVALID_PARAMETER, "Mismatched source file and store chunk size");
    }
  }
  if (job->dest.map) {
    if (job->source.map && job->source.map->chunk_size != job->dest.map->chunk_size) {
      return driver_fail(d, ERR_INVALID_PARAMETER, "Mismatched source and dest file chunk size");
    }
    job->chunk_size = job->dest.map->chunk_size;
    if (job->chunk_size != job->dest.store->chunk_size) {
      return driver_fail(d, ERR_INVALID_PARAMETER, "Mismatched dest file and store chunk size");
    }
  }
  if (!job->source.map && !job->dest.map) job->chunk_size = COPY_PLAIN_CHUNK_SIZE;
  return 0;
}

int prepare_items(Driver* d) {
  CopyJob* job = d->job;
  for (CopyWorkItem& item : job->items) {
    item.data = static_cast<uint8_t*>(page_alloc(2 * job->chunk_size));
    if (!item.data) return driver_fail(d, ERR_OUTOFMEMORY, "Out of memory for the copy buffers");
    item.compare = item.data + job->chunk_size;
    if (chunk_hasher_new(&item.hasher) != 0) {
      return driver_fail(d, ERR_OUTOFMEMORY, "Out of memory for the copy buffers");
    }
  }
  return 0;
}

void run_loop(CopyJob* job, Signal* cancel, CopyProgress progress, void* context) {
  uint64_t pos = 0;
  uint64_t shown = UINT64_MAX;  // the done count of the last progress call
  auto piece = [&] { return std::min(job->total - pos, job->chunk_size); };
  drive_items(
      job, cancel, copy_chunk, [&] { return piece() != 0; },
      [&](CopyWorkItem* item) {
        item->offset = pos;
        item->length = piece();
        pos += item->length;
      },
      [&] { return job_error(job) != 0; },
      [&](int rc) {
        job_fail(job, rc,
                 rc == ERR_CANCELLED ? "cancelled" : "Unable to start a worker thread for the copy");
      },
      [&](bool final) {
        // The last items may finish after the last turn's report: the final
        // line must show what was done.
        if (!progress || (final && counter_load(job->done) == shown)) return;
        shown = counter_load(job->done);
        progress(context, job->total, shown, counter_load(job->sr), counter_load(job->dr),
                 counter_load(job->dw));
      });
}

// Flushes each file system other than the map's that chunk files went to (a
// linked metadata folder, a mounted dictionary folder), once: the map must
// never name a chunk that a power loss can take.
int sync_chunk_volumes(Driver* d) {
  CopyJob* job = d->job;
  uint64_t map_volume = 0;
  (void)query_file_volume(job->dest.handle, &map_volume);
  for (const CopyVolume* v = job->volumes; v; v = v->next) {
    if (map_volume != 0 && v->serial == map_volume) continue;
    const int rc = sync_file_system_at(v->path);
    if (rc) return driver_fail(d, rc, "Unable to flush chunk file \"%s\"", v->path);
  }
  return 0;
}

// Writes the chunk map image to its temporary file, makes the chunks and the
// image durable, then puts the image in the destination's place in one step.
int finish_map(Driver* d) {
  CopyJob* job = d->job;
  const ChunkMap* map = job->dest.map;
  int rc = set_file_position(job->dest.handle, 0);
  size_t written = 0;
  if (rc == 0) rc = write_file(job->dest.handle, map->image, map->image_size, &written);
  if (rc == 0 && written != map->image_size) rc = ERR_DISK_FULL;
  if (rc) return driver_fail(d, rc, "Write failed to dest file");
  rc = sync_chunk_volumes(d);
  if (rc) return rc;
  // One flush of the map's file system covers the image and every chunk file
  // written there.
  rc = sync_file_system(job->dest.handle);
  if (rc) return driver_fail(d, rc, "Unable to flush dest file \"%s\"", d->dest_path);
  close_handle(job->dest.handle);
  job->dest.handle = OS_NO_HANDLE;
  rc = rename_file(d->temp_path, d->dest_path, (job->options & COPY_OVERWRITE) != 0);
  if (rc) {
    return driver_fail(d, rc,
                       rc == ERR_ALREADY_EXISTS && !(job->options & COPY_OVERWRITE)
                           ? "Unable to create destination \"%s\""
                           : "Unable to open/create destination \"%s\"",
                       d->dest_path);
  }
  d->temp_path = nullptr;
  const char* folder = path_full(&job->pool, d->dest_path, "..");
  if (folder) (void)sync_folder(folder);
  return 0;
}

// The data went around the cache, but the file's size and blocks may still
// be only in memory: a copy reported complete must survive a power loss.
int finish_plain(Driver* d) {
  const int rc = sync_file(d->job->dest.handle);
  if (rc) return driver_fail(d, rc, "Unable to flush dest file \"%s\"", d->dest_path);
  return 0;
}

int run_copy(Driver* d, Signal* cancel, CopyProgress progress, void* context) {
  CopyJob* job = d->job;
  int rc = check_paths(d);
  if (rc) return rc;
  rc = open_source(d);
  if (rc) return rc;
  rc = store_locate(&job->dest.store, &job->pool, &d->text, d->dest_path);
  if (rc != 0 && rc != ERR_NOT_FOUND) return rc;  // a store that cannot be read
  if (rc == 0) {
    rc = chunk_map_new(&job->dest.map, &job->pool, &d->text, job->dest.store, job->total,
                       d->dest_path);
    if (rc) return rc;
    rc = open_map_destination(d);
  } else {
    d->text = nullptr;
    rc = open_plain_destination(d);
  }
  if (rc) return rc;
  rc = check_chunk_sizes(d);
  if (rc) return rc;
  rc = prepare_items(d);
  if (rc) return rc;
  // Classified once here: the workers only read these bytes.
  for (CopyEndpoint* e : {&job->source, &job->dest}) {
    if (e->handle != OS_NO_HANDLE && !e->map) (void)handle_kind(e->handle, &e->kind);
  }
  run_loop(job, cancel, progress, context);
  if (job->error) {
    d->text = job->error_text;
    return job->error;
  }
  if (job->source.handle != OS_NO_HANDLE && !source_unchanged(d)) {
    return driver_fail(d, ERR_SOURCE_CHANGED, "Source file changed during the copy \"%s\"",
                       d->source_path);
  }
  return job->dest.map ? finish_map(d) : finish_plain(d);
}

void clean_up(Driver* d) {
  CopyJob* job = d->job;
  for (CopyWorkItem& item : job->items) {
    chunk_file_destroy(&item.source_chunk);
    chunk_file_destroy(&item.dest_chunk);
    page_free(item.data, 2 * job->chunk_size);
    if (item.hasher) chunk_hasher_destroy(item.hasher);
  }
  for (CopyEndpoint* e : {&job->source, &job->dest}) {
    store_release(e->store);
    chunk_map_release(e->map);
    if (e->handle != OS_NO_HANDLE) close_handle(e->handle);
  }
  // A failed or cancelled copy leaves no new chunk map behind.
  if (d->temp_path) (void)delete_file(d->temp_path);
}

}  // namespace

bool copy_set_unbuffered_for_test(bool unbuffered) {
  const bool previous = g_unbuffered;
  g_unbuffered = unbuffered;
  return previous;
}

int copy_file(ScratchPool* pool, const char** out_err, Signal* cancel, uint32_t options,
              const char* source_path, const char* dest_path, CopyProgress progress,
              void* progress_context) {
  return copy_file_counted(pool, out_err, cancel, options, source_path, dest_path, progress,
                           progress_context, nullptr);
}

int copy_file_counted(ScratchPool* pool, const char** out_err, Signal* cancel, uint32_t options,
                      const char* source_path, const char* dest_path, CopyProgress progress,
                      void* progress_context, CopyCounts* out_counts) {
  if (out_counts) *out_counts = CopyCounts{};
  if (out_err) *out_err = nullptr;
  auto* job = new (std::nothrow) CopyJob();
  if (!job) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory for the copy");
  job->options = options;
  job->source.handle = OS_NO_HANDLE;
  job->dest.handle = OS_NO_HANDLE;
  for (CopyWorkItem& item : job->items) {
    item.job = job;
    chunk_file_init(&item.source_chunk);
    chunk_file_init(&item.dest_chunk);
    item.next = job->free_list;
    job->free_list = &item;
  }
  signal_set(&job->item_free);
  Driver d{job, source_path, dest_path};
  const int rc = run_copy(&d, cancel, progress, progress_context);
  if (rc && out_err) *out_err = pool_copy_text(pool, d.text ? d.text : "");
  // Every chunk is K bytes but the file's last, and a chunk's bytes are
  // written whole or not at all: the counts of chunks follow from the bytes.
  const uint64_t k = job->chunk_size;
  if (out_counts && k) {
    *out_counts = CopyCounts{job->done, job->sr, job->dr, job->dw, (job->done + k - 1) / k,
                             (job->dw + k - 1) / k};
  }
  clean_up(&d);
  delete job;
  return rc;
}
