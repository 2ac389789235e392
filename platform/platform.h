// The one interface between the program and the operating system. Everything
// above platform/ reaches files, handles, events, memory, threads, console
// control and the process's surroundings only through these functions. Texts
// cross as UTF-8; handles are integers, -1 for none. Failures are Windows
// error numbers (see base/err.h), translated inside each implementation.
// platform/posix/ implements it on Linux and platform/windows/ on Windows, with
// the same file for the same duty in both; the build compiles one of them.
#pragma once

#include <cstddef>
#include <cstdint>

// A file, event or thread handle; OS_NO_HANDLE for none.
using OsHandle = int64_t;
constexpr OsHandle OS_NO_HANDLE = -1;

// ---- Process context, locale and console text ----

// The line end of the frame's texts on this platform ("\n" or "\r\n").
extern const char OS_LINE_END[];

// The program's arguments as UTF-16 where the platform gives them so (the
// count through out_count); null where main's byte arguments are the original.
const char16_t* const* os_wide_arguments(int* out_count);

// Write the program file's full path, or the effective user's login name, as
// UTF-8 with a terminator into `buffer` and store the length. Return 0, or an
// error number when the platform cannot tell or the text does not fit.
[[nodiscard]] int os_program_file(char* buffer, size_t capacity, size_t* out_length);
[[nodiscard]] int os_user_name(char* buffer, size_t capacity, size_t* out_length);

// Values of the user's locale, as UTF-8 text.
enum : int {
  OS_LOCALE_NEGATIVE_SIGN = 0,
  OS_LOCALE_NEGATIVE_MODE = 1,  // decimal digits: 0 "(1)", 1 "-1", 2 "- 1", 3 "1-", 4 "1 -"
  OS_LOCALE_THOUSANDS_SEP = 2,
  OS_LOCALE_GROUPING = 3,       // group sizes as "3;0" (a final 0: the last size repeats)
  OS_LOCALE_DECIMAL_SEP = 4,
  OS_LOCALE_TIME_SEP = 5,
};
// Writes the locale value `item` into `buffer` (terminated). Returns 0, or an
// error number when the locale gives no (or an empty) value.
[[nodiscard]] int os_locale_query(int item, char* buffer, size_t capacity);

// ---- Files, handles, transfers and folder queries ----
//
// The native file services in their own terms: access masks, share modes,
// attributes, dispositions and options are the native values, information is
// asked for by native class number and answered in the native record layouts
// below. A Windows build passes them through; the POSIX build maps them.

// True where paths take the drive/network syntax and native names (create
// names, folder entry names, object names) are UTF-16; false where paths are
// POSIX and native names are the path's bytes.
extern const bool OS_WINDOWS_NAMES;

// The largest folder text, in UTF-8 bytes with its terminator, that
// os_current_folder can report.
constexpr size_t OS_FOLDER_TEXT_MAX = 4097;

// Native access rights.
enum : uint32_t {
  OS_FILE_READ_DATA = 0x1,  // also: list a folder
  OS_FILE_WRITE_DATA = 0x2,  // also: add a file to a folder
  OS_FILE_APPEND_DATA = 0x4,
  OS_FILE_READ_EA = 0x8,
  OS_FILE_WRITE_EA = 0x10,
  OS_FILE_EXECUTE = 0x20,
  OS_FILE_READ_ATTRIBUTES = 0x80,
  OS_FILE_WRITE_ATTRIBUTES = 0x100,
  OS_DELETE = 0x10000,
  OS_READ_CONTROL = 0x20000,
  OS_SYNCHRONIZE = 0x100000,
};
// Share modes (not enforced where the platform has none).
enum : uint32_t { OS_SHARE_READ = 1, OS_SHARE_WRITE = 2, OS_SHARE_DELETE = 4 };
// Dispositions.
enum : uint32_t {
  OS_DISPOSITION_SUPERSEDE = 0,
  OS_DISPOSITION_OPEN = 1,
  OS_DISPOSITION_CREATE = 2,
  OS_DISPOSITION_OPEN_IF = 3,
  OS_DISPOSITION_OVERWRITE = 4,
  OS_DISPOSITION_OVERWRITE_IF = 5,
};
// File attributes.
enum : uint32_t {
  OS_ATTRIBUTE_READONLY = 0x1,
  OS_ATTRIBUTE_HIDDEN = 0x2,
  OS_ATTRIBUTE_SYSTEM = 0x4,
  OS_ATTRIBUTE_DIRECTORY = 0x10,
  OS_ATTRIBUTE_ARCHIVE = 0x20,
  OS_ATTRIBUTE_DEVICE = 0x40,
  OS_ATTRIBUTE_NORMAL = 0x80,
  OS_ATTRIBUTE_REPARSE_POINT = 0x400,
  OS_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000,
};
// Reparse tags.
enum : uint32_t { OS_REPARSE_TAG_MOUNT_POINT = 0xA0000003, OS_REPARSE_TAG_SYMLINK = 0xA000000C };
// Create options.
enum : uint32_t {
  OS_OPTION_DIRECTORY = 0x1,
  // Each write, and the size and allocation changes it makes, reaches stable
  // storage before the call returns (Windows: data goes out with forced unit
  // access, no flush of the whole disk cache). Ignored on POSIX, whose file
  // systems are flushed whole before anything depends on the data.
  OS_OPTION_WRITE_THROUGH = 0x2,
  OS_OPTION_NO_BUFFERING = 0x8,  // transfers must be sector-aligned
  OS_OPTION_SYNCHRONOUS_ALERT = 0x10,
  OS_OPTION_SYNCHRONOUS = 0x20,  // synchronous, non-alertable
  OS_OPTION_NON_DIRECTORY = 0x40,
  OS_OPTION_OPEN_REPARSE_POINT = 0x200000,  // the link itself, not its target
  // Ours, never passed to the system: the name is one no other program knows
  // (a fresh temporary name), so a create needs no lock against other writers.
  OS_OPTION_UNSEEN_NAME = 0x01000000,
};
// What a create call did (its information result).
enum : uint32_t {
  OS_CREATE_SUPERSEDED = 0,
  OS_CREATE_OPENED = 1,
  OS_CREATE_CREATED = 2,
  OS_CREATE_OVERWRITTEN = 3,
};

// Who may use a file or folder, where the platform keeps permission bits and
// groups (POSIX). Where folders hand their access control lists down to what
// is made inside them (Windows) the answers are neutral: mode and group 0,
// has_group 0, owned 1, others_write 0.
struct OsAccess {
  uint32_t mode;         // permission bits with set-group-ID and sticky (07777)
  uint32_t group;        // the owning group's id, when has_group
  uint32_t owner;        // the owning user's id, when has_group
  uint8_t has_group;     // 1 when `group` and `owner` name a group and a user
  uint8_t owned;         // 1 when the process's effective user owns it
  uint8_t others_write;  // 1 when users outside its owner and group may write it
  uint8_t reserved;
};

// A name for os_file_create, as the path layer builds it. Exactly one of the
// two forms is present, the one the platform takes (see OS_WINDOWS_NAMES).
struct OsNativeName {
  uint16_t length;          // bytes of `units` without the terminator
  uint16_t maximum_length;  // length + 2
  const char16_t* units;    // zero-terminated UTF-16 object name ("\??\C:\a"), or null
  const char* bytes;        // zero-terminated full path, or null
  size_t byte_count;        // bytes of `bytes` without the terminator
  // What a file or folder that the create call makes takes in place of the
  // process's defaults (POSIX: umask and effective group): the permission
  // bits of `mode` (a file without the execute bits) and, with has_group,
  // `group`; a group the process may not give leaves the group no access.
  // The superuser also gives it to `owner`, so that what it adds to another
  // user's private store stays that user's to read.
  // Null: the defaults. An object that exists is never changed. Ignored
  // where new objects inherit their folder's access control list (Windows).
  const OsAccess* access;
};

// Creates or opens a file or folder. Stores the handle (OS_NO_HANDLE on
// failure) and the create result (OS_CREATE_*, 0 on failure); either out
// pointer may be null only for out_information. Returns 0 or an error number:
// 2 for a missing file, 3 when a folder on the way is missing, 183 when a
// create disposition finds the name taken. On Windows the first call sets the
// process error mode (fail critical errors, no open-file error box), so that
// a missing medium is an error number rather than a dialog. Thread-safe.
[[nodiscard]] int os_file_create(const OsNativeName* name, uint32_t access, uint32_t share,
                                 uint32_t attributes, uint32_t disposition, uint32_t options,
                                 OsHandle* out_handle, uint32_t* out_information);

// Stores the access of the file or folder `name` (of a symbolic link itself
// when `link_itself`). Returns 0 or an error number (2 or 3 when it is
// missing); Windows answers the neutral values for any name. Thread-safe.
[[nodiscard]] int os_access_query(const OsNativeName* name, bool link_itself, OsAccess* out_access);

// Closes a handle. The standard handles stay open: on POSIX descriptors 0, 1
// and 2 are never closed; on Windows a handle equal to a current standard
// handle (console, pipe or file) is never closed, other console handles
// (both low bits set) close with CloseHandle and the rest with the native
// close. Returns 0, or the error the system reported while closing: a
// network file system may report a failed write only then. The handle is
// closed either way. REQUIRES: no other thread uses the handle.
int os_handle_close(OsHandle handle);

// Native file information classes and their records.
enum : uint32_t {
  OS_FILE_BASIC_INFO = 4,
  OS_FILE_STANDARD_INFO = 5,
  OS_FILE_INTERNAL_INFO = 6,
  OS_FILE_DISPOSITION_INFO = 13,
  OS_FILE_POSITION_INFO = 14,
  OS_FILE_MODE_INFO = 16,
  OS_FILE_ALL_INFO = 18,
  OS_FILE_ALLOCATION_INFO = 19,  // set only: an int64 byte count to reserve on disk
  OS_FILE_END_OF_FILE_INFO = 20,
  OS_FILE_REPARSE_POINT_INFO = 33,
  OS_FILE_ID_INFO = 59,
};
// Times are 100-nanosecond units since 1601-01-01 UTC.
struct OsFileBasicInfo {  // class 4; setting a time of 0 or -1 or attributes 0 leaves it
  int64_t creation_time;
  int64_t last_access_time;
  int64_t last_write_time;
  int64_t change_time;
  uint32_t attributes;
  uint32_t reserved;
};
struct OsFileStandardInfo {  // class 5
  int64_t allocation_size;  // bytes
  int64_t end_of_file;      // bytes
  uint32_t links;
  uint8_t delete_pending;
  uint8_t directory;
  uint8_t reserved[2];
};
struct OsFileAllInfo {  // class 18; the name may not fit (error 234 with name_length set)
  OsFileBasicInfo basic;
  OsFileStandardInfo standard;
  int64_t index_number;  // the file identity within its volume
  uint32_t ea_size;
  uint32_t access_flags;
  int64_t position;  // bytes
  uint32_t mode;     // OS_OPTION_SYNCHRONOUS* bits of the handle
  uint32_t alignment;
  uint32_t name_length;  // bytes
  char16_t name[1];
};
struct OsFileReparseInfo {  // class 33
  int64_t file_reference;
  uint32_t tag;  // OS_REPARSE_TAG_*
  uint32_t reserved;
};
struct OsFileIdInfo {  // class 59
  uint64_t volume_serial;
  uint64_t file_id[2];
};
static_assert(sizeof(OsFileBasicInfo) == 40 && sizeof(OsFileStandardInfo) == 24 &&
              sizeof(OsFileAllInfo) == 104 && sizeof(OsFileReparseInfo) == 16 &&
              sizeof(OsFileIdInfo) == 24);

// Native volume information classes and their records.
enum : uint32_t { OS_VOLUME_VOLUME_INFO = 1, OS_VOLUME_DEVICE_INFO = 4 };
struct OsVolumeInfo {  // class 1
  int64_t creation_time;
  uint32_t serial;
  uint32_t label_length;  // bytes
  uint8_t supports_objects;
  uint8_t reserved;
  char16_t label[1];
};
constexpr uint32_t OS_DEVICE_REMOTE = 0x10;  // characteristics bit: a network volume
struct OsDeviceInfo {  // class 4
  uint32_t device_type;
  uint32_t characteristics;
};
static_assert(sizeof(OsVolumeInfo) == 24 && sizeof(OsDeviceInfo) == 8);

// The object name class: a counted name whose units follow the record.
constexpr uint32_t OS_OBJECT_NAME_INFO = 1;
struct OsObjectNameInfo {
  uint16_t length;  // bytes
  uint16_t maximum_length;
  uint32_t reserved;
  char16_t* buffer;
};

// Each fills `buffer` of `size` bytes with the record of `info_class` and
// stores the bytes filled (when asked for). They return 0 or an error number:
// 6 for an invalid handle, 87 for a class the platform does not answer, 24 for
// a buffer smaller than the record, 234 when only a variable tail did not fit.
// Thread-safe.
[[nodiscard]] int os_file_query_info(OsHandle handle, uint32_t info_class, void* buffer,
                                     uint32_t size, uint64_t* out_information);
[[nodiscard]] int os_volume_query_info(OsHandle handle, uint32_t info_class, void* buffer,
                                       uint32_t size, uint64_t* out_information);
[[nodiscard]] int os_object_query_info(OsHandle handle, uint32_t info_class, void* buffer,
                                       uint32_t size, uint32_t* out_returned);
// Sets the information of `info_class` (basic, disposition, position,
// allocation, end of file) from `buffer`. Returns 0 or an error number. Thread-safe.
[[nodiscard]] int os_file_set_info(OsHandle handle, uint32_t info_class, const void* buffer,
                                   uint32_t size);

// Native folder query classes. Entries are 8-byte aligned and chained by
// next_entry_offset (0 on the last); the name follows the class's header and
// is in the native name form (UTF-16 or bytes, see OS_WINDOWS_NAMES),
// name_length counting bytes.
enum : uint32_t {
  OS_FOLDER_DIRECTORY_INFO = 1,   // header OsFolderEntry
  OS_FOLDER_ID_FULL_INFO = 38,    // header OsFolderEntryIdFull
  OS_FOLDER_ID_EXTENDED_INFO = 60,  // header OsFolderEntryIdExtended
};
struct OsFolderEntry {
  uint32_t next_entry_offset;
  uint32_t file_index;
  int64_t creation_time;
  int64_t last_access_time;
  int64_t last_write_time;
  int64_t change_time;
  int64_t end_of_file;
  int64_t allocation_size;
  uint32_t attributes;
  uint32_t name_length;
};
struct OsFolderEntryIdFull {
  OsFolderEntry entry;
  uint32_t ea_size;  // the reparse tag when the reparse point attribute is set
  uint32_t reserved;
  int64_t file_id;
};
struct OsFolderEntryIdExtended {
  OsFolderEntry entry;
  uint32_t ea_size;
  uint32_t reparse_tag;
  uint64_t file_id[2];
};
static_assert(sizeof(OsFolderEntry) == 64 && sizeof(OsFolderEntryIdFull) == 80 &&
              sizeof(OsFolderEntryIdExtended) == 88);

// Fills `buffer` with the next entries of the folder open on `handle` (the
// first one only when `single`; from the start again when `restart`). Returns
// 0, 18 at the end of the folder, 87 for a class the platform does not
// answer, or another error number. REQUIRES: one thread per folder handle.
[[nodiscard]] int os_directory_query(OsHandle handle, uint32_t info_class, bool single,
                                     bool restart, void* buffer, uint32_t length,
                                     uint64_t* out_information);

// The standard handles: 0 input, 1 output, 2 error. May be OS_NO_HANDLE or 0
// when the process has none. Thread-safe.
OsHandle os_standard_handle(int which);

// Makes `handle` the standard handle `which` (0, 1 or 2) for later
// os_standard_handle calls; the handle itself is not duplicated or closed.
void os_standard_handle_set(int which, OsHandle handle);

// Creates an anonymous pipe: bytes written to *out_write arrive at *out_read.
// Returns 0 or an error number (both handles -1).
[[nodiscard]] int os_pipe_create(OsHandle* out_read, OsHandle* out_write);

// File types as the platform reports them.
enum : uint32_t { OS_FILE_TYPE_UNKNOWN = 0, OS_FILE_TYPE_DISK = 1, OS_FILE_TYPE_CHAR = 2, OS_FILE_TYPE_PIPE = 3 };
// Stores the handle's file type. Returns 0, or an error number with type 0.
[[nodiscard]] int os_file_type(OsHandle handle, uint32_t* out_type);
// Stores the console mode of a console handle. Returns 0, or an error number
// when the handle is not a console.
[[nodiscard]] int os_console_mode(OsHandle handle, uint32_t* out_mode);

// Sequential transfer at the handle's position (the plain platform calls):
// stores the bytes moved (0 at the end of a file) and returns 0 or an error
// number (109 when a pipe's other end is gone). Thread-safe per handle as the
// platform is.
[[nodiscard]] int os_plain_read(OsHandle handle, void* buffer, uint32_t size, uint32_t* out_count);
[[nodiscard]] int os_plain_write(OsHandle handle, const void* data, uint32_t size,
                                 uint32_t* out_count);

// One native transfer of at most `size` bytes, waited for on the calling
// thread: at *offset when `offset` is non-null, else at the handle's position.
// `asynchronous` says the handle was opened without a synchronous option (its
// completion comes by notification). Stores the bytes moved; returns 0 or an
// error number, 38 when a read starts at or past the end of the file.
[[nodiscard]] int os_native_transfer(OsHandle handle, bool write, bool asynchronous, void* buffer,
                                     uint32_t size, const uint64_t* offset, uint32_t* out_count);

// Writes the current folder as UTF-8 with its terminator into `buffer` of
// `capacity` bytes and stores its length. Returns 0, or an error number when
// the platform fails or the folder does not fit. Thread-safe.
[[nodiscard]] int os_current_folder(char* buffer, size_t capacity, size_t* out_length);
// The same for the current folder of drive `letter` (platforms with drives;
// others fail with 50).
[[nodiscard]] int os_drive_current_folder(char letter, char* buffer, size_t capacity,
                                          size_t* out_length);
// Writes the full path of the existing file or folder `name` as the system
// finally names it, every link on the way followed, as UTF-8 with its
// terminator into `buffer` of `capacity` bytes and stores its length: POSIX
// realpath; Windows the final path of an open handle ("C:\a", "\\srv\sh\a",
// or "\\=\Device\..." on a volume without a drive letter). Returns 0 or an
// error number (2 or 3 when it is missing, 206 when it does not fit).
// Thread-safe.
[[nodiscard]] int os_final_path(const OsNativeName* name, char* buffer, size_t capacity,
                                size_t* out_length);

// Prepares the process for the file services: on POSIX writing to a closed
// pipe becomes error 109 instead of a signal, and descriptors 0, 1 and 2 are
// kept open so that no file receives one of them; Windows needs nothing. Call
// once at start-up, before other threads run.
void os_process_setup();

// Flushes the data and size of the file open on `handle` to stable storage
// (POSIX fsync; Windows NtFlushBuffersFile). A handle of a kind that has
// nothing to flush (a pipe or character device) gives 0. Returns 0 or an error
// number (6 for an invalid handle). Thread-safe.
[[nodiscard]] int os_file_sync(OsHandle handle);
// Flushes the entries of the folder `name` (names created, renamed or removed
// in it) to stable storage: POSIX opens the folder and fsyncs it; Windows,
// whose file systems keep folder entries durable with the files, only opens
// it. Returns 0 or an error number (a missing folder's). Thread-safe.
[[nodiscard]] int os_folder_sync(const OsNativeName* name);
// Gives the file `from` the name `to` in one atomic step (the same volume).
// With `replace` false the call fails with 183, leaving both names as they
// were, when `to` exists (POSIX renameat2 with RENAME_NOREPLACE, or link and
// unlink where the file system refuses that flag; Windows a rename without
// replace-if-exists); with `replace` true an existing `to` is replaced.
// Returns 0 or an error number. Thread-safe.
[[nodiscard]] int os_file_rename(const OsNativeName* from, const OsNativeName* to, bool replace);
// Deletes the file, link (not its target) or empty folder `name` in one step,
// without a handle the caller could use meanwhile: POSIX unlink (rmdir for a
// folder); Windows an open for deletion, a read-only attribute cleared, and
// the delete disposition. Returns 0 or an error number (2 or 3 when it is
// missing, 145 for a folder that is not empty). Thread-safe.
[[nodiscard]] int os_file_delete(const OsNativeName* name);
// Takes an advisory whole-file lock, shared or exclusive, on the file open on
// `handle` for reading, without waiting: POSIX flock (network file systems
// emulate it with record locks, which may want write access for an
// exclusive lock); Windows a byte-range lock far past any data, so that it
// keeps no reader from the file's bytes. The lock belongs to the handle and
// ends with os_file_unlock or when the handle is closed. Returns 0, 33 when
// another handle holds a lock that conflicts, or an error number. Thread-safe.
[[nodiscard]] int os_file_lock(OsHandle handle, bool exclusive);
// Drops the lock os_file_lock took on `handle`, if any.
void os_file_unlock(OsHandle handle);
// The calling process's id, which no other running process shares; used to
// keep temporary names of concurrent processes apart. Thread-safe.
uint64_t os_process_id();
// The processors this process may run on; at least 1. Thread-safe.
uint32_t os_processor_count();

// ---- Runtime: events, memory, clock, threads, console control, process ----

// Time-outs in milliseconds; OS_WAIT_INFINITE waits without limit.
constexpr uint32_t OS_WAIT_INFINITE = 0xFFFFFFFFu;

// Results of the waits below.
enum : int {
  OS_WAIT_SIGNALED = 0,  // the object was signalled
  OS_WAIT_TIMEOUT = 1,   // the time-out passed first
  OS_WAIT_ALERTED = 2,   // an alert or queued procedure call ended an alertable wait
};

// Creates a manual-reset event, not signalled. Returns its handle, or
// OS_NO_HANDLE when the system refuses. Thread-safe.
OsHandle os_event_create();
// Signals the event and wakes every waiter; it stays signalled until cleared.
void os_event_set(OsHandle event);
// Returns the event to the not-signalled state.
void os_event_clear(OsHandle event);
// Waits until the event is signalled or `timeout_ms` passes (OS_WAIT_INFINITE
// for no limit). `alertable` lets queued procedure calls end the wait where
// the system has them. Returns one of OS_WAIT_*.
int os_event_wait(OsHandle event, uint32_t timeout_ms, bool alertable);
// Closes the event. REQUIRES: nobody waits on it or sets it any more.
void os_event_close(OsHandle event);

// Commits `size` bytes of zero-filled read-write pages at an address the
// system chooses. Returns null on failure. Thread-safe.
void* os_page_alloc(size_t size);
// Releases pages from os_page_alloc; `size` is the size given there.
void os_page_free(void* address, size_t size);

// Milliseconds since an arbitrary origin on a clock that never goes back.
uint64_t os_tick_ms();
// Sleeps `ms` milliseconds (OS_WAIT_INFINITE: without limit). An alertable
// sleep may end early where the system has queued procedure calls.
void os_sleep_ms(uint32_t ms, bool alertable);
// Gives the rest of the calling thread's time slice to any ready thread and
// returns at once when there is none: for waits of a few instructions.
void os_yield();
// How many times os_sleep_ms has been entered in this process; tests use it
// to show that a hand-over between threads never slept. Thread-safe.
uint64_t os_sleep_count();
// The calling thread's id: never 0, unique among the living threads, and
// cheap enough to read on every lock acquisition (no system call once known).
uint64_t os_thread_id();

// Starts a thread running `routine(argument)` with a stack of `stack_size`
// bytes (0: the system default). Returns the thread's handle, or OS_NO_HANDLE
// when the thread could not be created. Console stop requests are kept away
// from every thread made here (see os_console_control_install).
OsHandle os_thread_create(void (*routine)(void*), void* argument, size_t stack_size);
// Waits up to `timeout_ms` (0 polls) for the thread to have ended. Returns
// OS_WAIT_SIGNALED once it has, else OS_WAIT_TIMEOUT. Only one thread waits on
// a given handle at a time.
int os_thread_wait(OsHandle thread, uint32_t timeout_ms);
// Releases the handle; a thread still running goes on and cleans up after
// itself when it ends.
void os_thread_close(OsHandle thread);
// Raises the calling thread to the highest priority the process may grant;
// nothing happens where raising is not permitted.
void os_thread_raise_priority();
// Ends the calling thread at once; its routine never returns.
[[noreturn]] void os_thread_exit();

// Console control request numbers handed to the handler below.
enum : uint32_t {
  OS_CONSOLE_INTERRUPT = 0,  // interrupt key (Ctrl-C)
  OS_CONSOLE_BREAK = 1,      // break key (Ctrl-Break; Ctrl-\ on POSIX)
  OS_CONSOLE_CLOSE = 2,      // the console or terminal was closed
  OS_CONSOLE_LOGOFF = 5,     // the user logs off
  OS_CONSOLE_SHUTDOWN = 6,   // the system shuts down or asks the program to end
};
// What a console control handler asks of the platform after a request.
enum : int {
  OS_CONSOLE_NOT_HANDLED = 0,  // let the system's default action happen
  OS_CONSOLE_HANDLED = 1,      // the request was taken
  OS_CONSOLE_HOLD = 2,         // taken; keep the delivering thread from returning
                               // where returning would let the system end the process
};
// Routes every outside request to stop the program to `handler`, which runs on
// a thread of the platform's own (never on a thread that holds program locks).
// POSIX: SIGINT, SIGQUIT, SIGHUP and SIGTERM are blocked in the calling thread
// and in every thread os_thread_create makes, and one listener thread receives
// them; signals that were ignored when the program started stay ignored.
// Returns false when no listener could be set up. REQUIRES: called once.
bool os_console_control_install(int (*handler)(uint32_t request));

// Registers `handler` to run at normal process exit; handlers run last
// registered first. Returns false when the list is full.
bool os_exit_handler_add(void (*handler)());
// Writes `length` bytes of `text` to standard output, stops in an attached
// debugger, and ends the process with exit code 255. Never returns.
[[noreturn]] void os_fatal_exit(const char* text, size_t length);

// ---- Terminals and durability ----

// The width in columns of the terminal (console) `handle` writes to, or 0 when
// it is not one.
uint32_t os_console_width(OsHandle handle);

// Flushes to stable storage every file of the file system that holds the
// file open on `handle`, with the folder entries naming them; where the
// platform flushes only single files, flushes that one (Windows, where a
// volume flush needs administrator rights: on NTFS the flush of one file also
// commits the volume's journal, which holds every folder entry made before
// it, and drains the disk's cache). A handle without write access is not
// flushed on Windows. Returns 0 or an error number.
[[nodiscard]] int os_file_system_sync(OsHandle handle);

// Whether a file opened with OS_OPTION_WRITE_THROUGH on the file system that
// holds `handle` is made durable by os_file_system_sync without a flush of its
// own (`*out_yes`). Not where that flush stops in the local kernel and the
// data lives on a server: user-space and SMB/9P file systems on POSIX, whose
// servers write a file to stable storage only when that file is flushed.
// There each such file is flushed with os_file_sync before it is published.
[[nodiscard]] int os_file_system_syncs_files(OsHandle handle, bool* out_yes);
