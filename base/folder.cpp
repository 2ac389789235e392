// Folder enumeration over batches of native folder entries, and the
// information record of a handle. The richest entry format the platform
// answers is chosen once per enumerator and reused.
#include "base/folder.h"

#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/scratch.h"
#include "base/text.h"
#include "base/utf.h"

namespace {

constexpr size_t FOLDER_BATCH_OFFERED = 0xF000;
constexpr size_t FOLDER_BATCH_SIZE = 0xF200;
constexpr size_t FOLDER_NAME_MAX = 776;  // bytes of an entry name in UTF-8, terminator included
constexpr uint32_t ACCESS_LIST_FOLDER = 0x120089;
constexpr uint32_t ACCESS_QUERY = 0x120088;

// What one native entry format offers.
struct FolderClass {
  uint32_t info_class;
  uint32_t header_size;  // the name follows
  void (*extract)(const unsigned char* entry, FileInfo* info);
};

void extract_common(const unsigned char* entry, FileInfo* info) {
  OsFolderEntry c;
  memcpy(&c, entry, sizeof c);
  info->attributes = c.attributes;
  info->size = static_cast<uint64_t>(c.end_of_file);
  info->creation_time = c.creation_time;
  info->last_access_time = c.last_access_time;
  info->last_write_time = c.last_write_time;
  info->change_time = c.change_time;
}

void set_tag(FileInfo* info, uint32_t tag) {
  if (!(info->attributes & OS_ATTRIBUTE_REPARSE_POINT)) return;
  if (tag == OS_REPARSE_TAG_SYMLINK) info->symlink = 1;
  if (tag == OS_REPARSE_TAG_MOUNT_POINT) info->mount_point = 1;
}

void extract_extended(const unsigned char* entry, FileInfo* info) {
  extract_common(entry, info);
  OsFolderEntryIdExtended e;
  memcpy(&e, entry, sizeof e);
  set_tag(info, e.reparse_tag);
  info->file_id[0] = e.file_id[0];
  info->file_id[1] = e.file_id[1];
}

void extract_full(const unsigned char* entry, FileInfo* info) {
  extract_common(entry, info);
  OsFolderEntryIdFull f;
  memcpy(&f, entry, sizeof f);
  set_tag(info, f.ea_size);  // the tag travels in the extended-attribute size
  info->file_id[0] = static_cast<uint64_t>(f.file_id);
}

void extract_plain(const unsigned char* entry, FileInfo* info) {
  extract_common(entry, info);
  // No tag in this format: any reparse point may be either kind.
  if (info->attributes & OS_ATTRIBUTE_REPARSE_POINT) {
    info->symlink = 1;
    info->mount_point = 1;
  }
}

const FolderClass FOLDER_CLASSES[] = {
    {OS_FOLDER_ID_EXTENDED_INFO, sizeof(OsFolderEntryIdExtended), extract_extended},
    {OS_FOLDER_ID_FULL_INFO, sizeof(OsFolderEntryIdFull), extract_full},
    {OS_FOLDER_DIRECTORY_INFO, sizeof(OsFolderEntry), extract_plain},
};

uint32_t read_native_u32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

}  // namespace

struct FolderEnum {
  uint32_t flags;
  OsHandle handle;
  char* path;             // folder path with its trailing separator, then the entry name
  size_t folder_length;   // bytes before the name
  size_t capacity;        // bytes of `path`
  const FolderClass* format;  // null until chosen
  size_t header_size;         // of the chosen format; 1 before, so the first call fills a batch
  FileInfo folder_info;
  FileInfo entry_info;
  FileInfo target_info;
  char name[FOLDER_NAME_MAX];
  size_t batch_position;
  size_t batch_end;
  alignas(8) unsigned char batch[FOLDER_BATCH_SIZE];
};

void file_info_derive(FileInfo* info) {
  info->folder = (info->attributes & OS_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  info->kind_flags = static_cast<uint8_t>(info->attributes & (OS_ATTRIBUTE_READONLY |
                                                              OS_ATTRIBUTE_HIDDEN |
                                                              OS_ATTRIBUTE_SYSTEM |
                                                              OS_ATTRIBUTE_ARCHIVE));
  if (!info->symlink && !info->folder && !(info->attributes & OS_ATTRIBUTE_NOT_CONTENT_INDEXED)) {
    info->kind_flags |= 0x8;
  }
  if (info->folder || info->symlink) info->size = 0;
}

int directory_query(OsHandle handle, uint32_t info_class, bool single, bool restart, void* buffer,
                    uint32_t length) {
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  return os_directory_query(handle, info_class, single, restart, buffer, length, nullptr);
}

int folder_open(FolderEnum** out_enum, const char* path, uint32_t flags) {
  *out_enum = nullptr;
  auto* e = static_cast<FolderEnum*>(allocate(&g_heap_allocator, sizeof(FolderEnum)));
  if (e == nullptr) return ERR_OUTOFMEMORY;
  e->flags = flags;
  e->handle = OS_NO_HANDLE;
  e->header_size = 1;
  int rc = 0;
  {
    ScratchPool local;
    const char* full = path_full(&local, nullptr, path);
    if (full == nullptr) {
      rc = ERR_INVALID_NAME;
    } else {
      size_t length = text_len(full);
      e->capacity = length + (length + 5) / 4 + 50;
      e->path = static_cast<char*>(allocate(&g_heap_allocator, e->capacity));
      if (e->path == nullptr) {
        rc = ERR_OUTOFMEMORY;
      } else {
        memcpy(e->path, full, length);
        if (length == 0 || (full[length - 1] != '\\' && full[length - 1] != '/')) {
          e->path[length++] = path_default_syntax()->separator;
        }
        e->path[length] = 0;
        e->folder_length = length;
      }
    }
  }
  if (rc == 0) {
    rc = native_open(path, ACCESS_LIST_FOLDER, OS_SHARE_READ | OS_SHARE_WRITE | OS_SHARE_DELETE,
                     0, OS_DISPOSITION_OPEN, OS_OPTION_DIRECTORY | OS_OPTION_SYNCHRONOUS,
                     &e->handle, nullptr);
  }
  if (rc == 0) rc = query_handle_info(e->handle, &e->folder_info);
  if (rc != 0) {
    folder_close(e);
    return rc;
  }
  *out_enum = e;
  return 0;
}

void folder_close(FolderEnum* e) {
  if (e == nullptr) return;
  close_handle(e->handle);
  heap_free(e->path);
  heap_free(e);
}

namespace {

// The next raw entry of the folder, from the batch or a new one.
int next_raw_entry(FolderEnum* e, const unsigned char** out_entry) {
  *out_entry = nullptr;
  const size_t left = e->batch_end - e->batch_position;
  bool refill = left < e->header_size;
  if (!refill) {
    const size_t name_bytes = read_native_u32(e->batch + e->batch_position + offsetof(OsFolderEntry, name_length));
    refill = e->header_size + name_bytes > left;
  }
  if (refill) {
    e->batch_position = e->batch_end = 0;
    int rc;
    if (e->format != nullptr) {
      rc = directory_query(e->handle, e->format->info_class, false, false, e->batch,
                           FOLDER_BATCH_OFFERED);
    } else {
      rc = 0;
      for (const FolderClass& format : FOLDER_CLASSES) {
        e->format = &format;
        e->header_size = format.header_size;
        rc = directory_query(e->handle, format.info_class, false, false, e->batch,
                             FOLDER_BATCH_OFFERED);
        if (rc == 0) break;
      }
    }
    if (rc != 0) return rc;
    e->batch_end = FOLDER_BATCH_SIZE;
    const size_t first_name = read_native_u32(e->batch + offsetof(OsFolderEntry, name_length));
    if (e->header_size + first_name > e->batch_end) return ERR_NO_MORE_FILES;
  }
  const unsigned char* entry = e->batch + e->batch_position;
  const uint32_t next = read_native_u32(entry);
  e->batch_position = next ? e->batch_position + next : e->batch_end;
  if (e->batch_position > e->batch_end) e->batch_position = e->batch_end;
  *out_entry = entry;
  return 0;
}

}  // namespace

int folder_next(FolderEnum* e, const char** out_path, size_t* out_name_offset,
                const FileInfo** out_info) {
  if (out_path) *out_path = nullptr;
  if (out_name_offset) *out_name_offset = 0;
  if (out_info) *out_info = nullptr;
  if (e == nullptr) return ERR_INVALID_PARAMETER;
  const unsigned char* entry;
  size_t name_length;
  for (;;) {
    int rc = next_raw_entry(e, &entry);
    if (rc != 0) return rc;
    const uint32_t name_bytes = read_native_u32(entry + offsetof(OsFolderEntry, name_length));
    const unsigned char* raw = entry + e->format->header_size;
    if (OS_WINDOWS_NAMES) {
      // Names are UTF-16 units; copied out first for their alignment.
      char16_t units[FOLDER_NAME_MAX];
      const size_t count = name_bytes / 2 < FOLDER_NAME_MAX - 1 ? name_bytes / 2 : FOLDER_NAME_MAX - 1;
      memcpy(units, raw, count * 2);
      units[count] = 0;
      utf8_from_wide(e->name, sizeof e->name, units, count);
    } else {
      text_copy_bounded(e->name, sizeof e->name, reinterpret_cast<const char*>(raw), name_bytes);
    }
    if (strcmp(e->name, ".") != 0 && strcmp(e->name, "..") != 0) break;
  }
  name_length = text_len(e->name);

  if (e->folder_length + name_length >= e->capacity) {
    const size_t sum = e->folder_length + name_length;
    const size_t capacity = sum * 9 / 4 + 50;
    char* grown = static_cast<char*>(allocate(&g_heap_allocator, capacity));
    if (grown == nullptr) return ERR_OUTOFMEMORY;
    memcpy(grown, e->path, e->folder_length);
    heap_free(e->path);
    e->path = grown;
    e->capacity = capacity;
  }
  memcpy(e->path + e->folder_length, e->name, name_length + 1);

  FileInfo* info = &e->entry_info;
  memset(info, 0, sizeof *info);
  e->format->extract(entry, info);
  info->volume_serial = e->folder_info.volume_serial;
  memcpy(info->volume_identity, e->folder_info.volume_identity, sizeof info->volume_identity);
  file_info_derive(info);

  const FileInfo* result = info;
  if (info->symlink) {
    if ((e->flags & 3) == FOLDER_NO_LINK_INFO) {
      result = nullptr;
    } else if (!(e->flags & FOLDER_NO_FOLLOW)) {
      if (query_path_info(e->path, &e->target_info) == 0) {
        e->target_info.symlink = 1;
        e->target_info.followed = 1;
        result = &e->target_info;
      } else {
        info->link_unreachable = 1;
      }
    }
  }
  if (out_path) *out_path = e->path;
  if (out_name_offset) *out_name_offset = e->folder_length;
  if (out_info) *out_info = result;
  return 0;
}

int device_name_separators(const char16_t* name, size_t units) {
  struct DeviceKind {
    const char16_t* prefix;
    int separators;
  };
  static const DeviceKind kinds[] = {
      {u"\\Device\\Harddisk", 2}, {u"\\Device\\CdRom", 2}, {u"\\Device\\Mup", 4},
      {u"\\Device\\Lanman", 4},   {u"\\Device\\Webdav", 4},
  };
  for (const DeviceKind& k : kinds) {
    if (units >= wide_len(k.prefix) && wide_begins_nocase(name, k.prefix) == 0) {
      return k.separators;
    }
  }
  return 0;
}

size_t volume_part_units(const char16_t* name, size_t units, int separators) {
  int seen = 0;
  for (size_t i = 1; i < units; ++i) {
    if (name[i] == u'\\' && ++seen == separators) return i;
  }
  return units;
}

namespace {

uint32_t rot(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

void lookup3_mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= c; a ^= rot(c, 4);  c += b;
  b -= a; b ^= rot(a, 6);  a += c;
  c -= b; c ^= rot(b, 8);  b += a;
  a -= c; a ^= rot(c, 16); c += b;
  b -= a; b ^= rot(a, 19); a += c;
  c -= b; c ^= rot(b, 4);  b += a;
}

void lookup3_final(uint32_t& a, uint32_t& b, uint32_t& c) {
  c ^= b; c -= rot(b, 14);
  a ^= c; a -= rot(c, 11);
  b ^= a; b -= rot(a, 25);
  c ^= b; c -= rot(b, 16);
  a ^= c; a -= rot(c, 4);
  b ^= a; b -= rot(a, 14);
  c ^= b; c -= rot(b, 24);
}

uint32_t le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

void lookup3_words(const void* bytes, size_t length, uint32_t out_words[3]) {
  uint32_t a = 0xDEADBEEF, b = 0xDEADBEEF, c = 0xDEADBEEF;
  const auto* k = static_cast<const unsigned char*>(bytes);
  while (length > 12) {
    a += le32(k);
    b += le32(k + 4);
    c += le32(k + 8);
    lookup3_mix(a, b, c);
    k += 12;
    length -= 12;
  }
  if (length > 0) {
    unsigned char last[12] = {};
    memcpy(last, k, length);
    a += le32(last);
    b += le32(last + 4);
    c += le32(last + 8);
    lookup3_final(a, b, c);
  }
  out_words[0] = a;
  out_words[1] = b;
  out_words[2] = c;
}

int volume_identity(uint64_t serial, const char16_t* volume_part, size_t units,
                    uint32_t out_words[3]) {
  ScratchPool local;
  const size_t capacity = 8 + 4 * units;
  auto* bytes = static_cast<unsigned char*>(allocate(&local, capacity));
  if (bytes == nullptr) return ERR_OUTOFMEMORY;
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(serial >> (8 * i));
  size_t position = 8;
  for (size_t i = 0; i < units;) {
    size_t next = i;
    const uint32_t cp = utf16_decode(volume_part, units, i, &next);
    utf8_encode(reinterpret_cast<char*>(bytes), capacity, &position, fold_code_point(cp));
    i = next > i ? next : i + 1;
  }
  lookup3_words(bytes, position, out_words);
  return 0;
}

int query_handle_info(OsHandle handle, FileInfo* out_info) {
  memset(out_info, 0, sizeof *out_info);
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  OsFileAllInfo all;
  memset(&all, 0, sizeof all);
  int rc = query_file_info(handle, OS_FILE_ALL_INFO, &all, sizeof all, nullptr);
  if (rc != 0 && !(rc == 234 && all.name_length != 0)) return rc;  // only the name did not fit
  out_info->attributes = all.basic.attributes;
  out_info->creation_time = all.basic.creation_time;
  out_info->last_access_time = all.basic.last_access_time;
  out_info->last_write_time = all.basic.last_write_time;
  out_info->change_time = all.basic.change_time;
  out_info->size = static_cast<uint64_t>(all.standard.end_of_file);
  out_info->file_id[0] = static_cast<uint64_t>(all.index_number);

  if (out_info->attributes & OS_ATTRIBUTE_REPARSE_POINT) {
    OsFileReparseInfo reparse{};
    if (query_file_info(handle, OS_FILE_REPARSE_POINT_INFO, &reparse, sizeof reparse, nullptr) == 0) {
      set_tag(out_info, reparse.tag);
    }
  }

  OsFileIdInfo id{};
  if (query_file_info(handle, OS_FILE_ID_INFO, &id, sizeof id, nullptr) == 0) {
    out_info->volume_serial = id.volume_serial;
    out_info->file_id[0] = id.file_id[0];
    out_info->file_id[1] = id.file_id[1];
  } else {
    alignas(8) unsigned char volume[sizeof(OsVolumeInfo) + 64] = {};
    if (query_volume_info(handle, OS_VOLUME_VOLUME_INFO, volume, sizeof volume, nullptr) == 0) {
      OsVolumeInfo v;
      memcpy(&v, volume, sizeof v);
      out_info->volume_serial = v.serial;
    }
  }

  ScratchPool local;
  alignas(8) unsigned char small[304];
  unsigned char* name_block = small;
  rc = query_object_info(handle, OS_OBJECT_NAME_INFO, small, sizeof small, nullptr);
  if (rc != 0) {
    name_block = static_cast<unsigned char*>(allocate(&local, 0x4000));
    rc = name_block ? query_object_info(handle, OS_OBJECT_NAME_INFO, name_block, 0x4000, nullptr)
                    : ERR_OUTOFMEMORY;
  }
  if (rc == 0) {
    OsObjectNameInfo object;
    memcpy(&object, name_block, sizeof object);
    const char16_t* name = object.buffer;
    const size_t units = object.length / 2;
    if (name != nullptr && units > 0) {
      int separators = device_name_separators(name, units);
      if (separators == 0) {
        OsDeviceInfo device{};
        const bool remote = query_volume_info(handle, OS_VOLUME_DEVICE_INFO, &device,
                                              sizeof device, nullptr) == 0 &&
                            (device.characteristics & OS_DEVICE_REMOTE) != 0;
        separators = remote ? 4 : 2;
      }
      const size_t part = volume_part_units(name, units, separators);
      (void)volume_identity(out_info->volume_serial, name, part, out_info->volume_identity);
    }
  }
  file_info_derive(out_info);
  return 0;
}

int query_path_info(const char* path, FileInfo* out_info) {
  FileInfo info;
  memset(&info, 0, sizeof info);
  OsHandle h;
  int rc = native_open(path, ACCESS_QUERY, OS_SHARE_READ | OS_SHARE_WRITE | OS_SHARE_DELETE,
                       OS_ATTRIBUTE_HIDDEN | OS_ATTRIBUTE_SYSTEM, OS_DISPOSITION_OPEN,
                       OS_OPTION_SYNCHRONOUS, &h, nullptr);
  if (rc == 0) {
    rc = query_handle_info(h, &info);
    close_handle(h);
  }
  if (out_info) *out_info = info;
  return rc;
}
