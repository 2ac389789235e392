// The fault-injecting wrappers. One armed fault at a time, as in a test that
// walks N from 1 to the number of calls a clean run makes.
#include "platform/fault/fault_platform.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

const char* const KIND_NAMES[FAULT_COUNT] = {"open",        "create", "read",        "write",
                                             "set end",     "make folder", "link/rename", "sync"};

// What each handle was made with, so that a failed transfer or information
// change can say which file it was on. Indexed by the handle's number: a
// number the system hands out again is simply overwritten by its new create.
constexpr size_t HANDLE_SLOTS = 4096;
struct HandleNote {
  uint32_t access;
  uint32_t disposition;
  char path[sizeof(FaultRecord::path)];
};

std::mutex g_lock;  // guards g_notes, g_record
HandleNote g_notes[HANDLE_SLOTS];
std::atomic<uint64_t> g_calls[FAULT_COUNT];
int g_kind = -1;
uint64_t g_nth = 0;
int g_error = 0;
std::atomic<bool> g_fired{false};
FaultRecord g_record;
std::atomic<bool> g_logging{false};
std::vector<FaultCall> g_log;  // guarded by g_lock

void copy_name(char* out, size_t capacity, const OsNativeName* name) {
  size_t n = 0;
  if (name && name->bytes) {
    n = std::min(name->byte_count, capacity - 1);
    std::memcpy(out, name->bytes, n);
  } else if (name && name->units) {
    // Only for reading in test reports: non-ASCII units become '?'.
    for (const char16_t* u = name->units; *u && n + 1 < capacity; ++u) {
      out[n++] = *u < 0x80 ? static_cast<char>(*u) : '?';
    }
  }
  out[n] = 0;
}

void log_call(int kind, const OsNativeName* name, OsHandle handle, uint32_t options,
              uint32_t info_class) {
  std::lock_guard<std::mutex> guard(g_lock);
  FaultCall call{kind, options, info_class, {}};
  if (name) {
    copy_name(call.path, sizeof call.path, name);
  } else if (handle >= 0 && static_cast<uint64_t>(handle) < HANDLE_SLOTS) {
    std::memcpy(call.path, g_notes[handle].path, sizeof call.path);
  }
  g_log.push_back(call);
}

// Counts a call of `kind`; true when this is the one to fail. `name` or
// `handle` says what it was on.
bool hit(int kind, const OsNativeName* name, OsHandle handle, uint32_t access,
         uint32_t disposition, uint32_t info_class, uint32_t options = 0) {
  if (g_logging) log_call(kind, name, handle, options, info_class);
  const uint64_t n = g_calls[kind].fetch_add(1) + 1;
  if (kind != g_kind || n != g_nth) return false;
  std::lock_guard<std::mutex> guard(g_lock);
  g_record = FaultRecord{};
  g_record.kind = kind;
  g_record.nth = n;
  g_record.error = g_error;
  g_record.access = access;
  g_record.disposition = disposition;
  g_record.info_class = info_class;
  if (name) {
    copy_name(g_record.path, sizeof g_record.path, name);
  } else if (handle >= 0 && static_cast<uint64_t>(handle) < HANDLE_SLOTS) {
    const HandleNote& note = g_notes[handle];
    g_record.access = note.access;
    g_record.disposition = note.disposition;
    std::memcpy(g_record.path, note.path, sizeof g_record.path);
  }
  g_fired.store(true);
  return true;
}

bool standard_handle(OsHandle handle) {
  return handle == os_standard_handle(1) || handle == os_standard_handle(2);
}

int transfer_kind(bool write) { return write ? FAULT_WRITE : FAULT_READ; }

}  // namespace

const char* fault_kind_name(int kind) { return KIND_NAMES[kind]; }

int fault_create_kind(uint32_t disposition, uint32_t options) {
  const bool may_create = disposition != OS_DISPOSITION_OPEN &&
                          disposition != OS_DISPOSITION_OVERWRITE;
  if (!may_create) return FAULT_OPEN;
  return (options & OS_OPTION_DIRECTORY) ? FAULT_MAKE_FOLDER : FAULT_CREATE;
}

void fault_arm(int kind, uint64_t nth, int error) {
  for (auto& c : g_calls) c.store(0);
  g_kind = nth ? kind : -1;
  g_nth = nth;
  g_error = error;
  g_fired.store(false);
}

uint64_t fault_calls(int kind) { return g_calls[kind].load(); }

void fault_log_start(bool on) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_log.clear();
  g_logging = on;
}

size_t fault_log_count() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_log.size();
}

FaultCall fault_log_at(size_t index) {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_log[index];
}

bool fault_fired(FaultRecord* out_record) {
  if (!g_fired.load()) return false;
  if (out_record) {
    std::lock_guard<std::mutex> guard(g_lock);
    *out_record = g_record;
  }
  return true;
}

int fault_file_create(const OsNativeName* name, uint32_t access, uint32_t share,
                      uint32_t attributes, uint32_t disposition, uint32_t options,
                      OsHandle* out_handle, uint32_t* out_information) {
  if (hit(fault_create_kind(disposition, options), name, OS_NO_HANDLE, access, disposition, 0,
          options)) {
    *out_handle = OS_NO_HANDLE;
    if (out_information) *out_information = 0;
    return g_error;
  }
  const int rc = os_file_create(name, access, share, attributes, disposition, options, out_handle,
                                out_information);
  if (rc == 0 && *out_handle >= 0 && static_cast<uint64_t>(*out_handle) < HANDLE_SLOTS) {
    std::lock_guard<std::mutex> guard(g_lock);
    HandleNote& note = g_notes[*out_handle];
    note.access = access;
    note.disposition = disposition;
    copy_name(note.path, sizeof note.path, name);
  }
  return rc;
}

int fault_file_set_info(OsHandle handle, uint32_t info_class, const void* buffer, uint32_t size) {
  int kind = -1;
  if (info_class == OS_FILE_END_OF_FILE_INFO || info_class == OS_FILE_ALLOCATION_INFO) {
    kind = FAULT_SET_END;
  }
  if (info_class == OS_FILE_DISPOSITION_INFO) kind = FAULT_RENAME;
  if (kind >= 0 && hit(kind, nullptr, handle, 0, 0, info_class)) return g_error;
  return os_file_set_info(handle, info_class, buffer, size);
}

int fault_file_rename(const OsNativeName* from, const OsNativeName* to, bool replace) {
  if (hit(FAULT_RENAME, to, OS_NO_HANDLE, 0, 0, 0)) return g_error;
  return os_file_rename(from, to, replace);
}

int fault_file_delete(const OsNativeName* name) {
  if (hit(FAULT_RENAME, name, OS_NO_HANDLE, 0, 0, OS_FILE_DISPOSITION_INFO)) return g_error;
  return os_file_delete(name);
}

int fault_file_sync(OsHandle handle) {
  if (hit(FAULT_SYNC, nullptr, handle, 0, 0, 0)) return g_error;
  return os_file_sync(handle);
}

int fault_folder_sync(const OsNativeName* name) {
  if (hit(FAULT_SYNC, name, OS_NO_HANDLE, 0, 0, 0)) return g_error;
  return os_folder_sync(name);
}

int fault_file_system_sync(OsHandle handle) {
  if (hit(FAULT_SYNC, nullptr, handle, 0, 0, 0)) return g_error;
  return os_file_system_sync(handle);
}

int fault_plain_read(OsHandle handle, void* buffer, uint32_t size, uint32_t* out_count) {
  if (hit(FAULT_READ, nullptr, handle, 0, 0, 0)) {
    *out_count = 0;
    return g_error;
  }
  return os_plain_read(handle, buffer, size, out_count);
}

int fault_plain_write(OsHandle handle, const void* data, uint32_t size, uint32_t* out_count) {
  if (!standard_handle(handle) && hit(FAULT_WRITE, nullptr, handle, 0, 0, 0)) {
    *out_count = 0;
    return g_error;
  }
  return os_plain_write(handle, data, size, out_count);
}

int fault_native_transfer(OsHandle handle, bool write, bool asynchronous, void* buffer,
                          uint32_t size, const uint64_t* offset, uint32_t* out_count) {
  if (!(write && standard_handle(handle)) &&
      hit(transfer_kind(write), nullptr, handle, 0, 0, 0)) {
    *out_count = 0;
    return g_error;
  }
  return os_native_transfer(handle, write, asynchronous, buffer, size, offset, out_count);
}
