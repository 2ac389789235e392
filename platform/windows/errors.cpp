// Native status translation, and the check that the program's own names for
// Windows error numbers are the system's numbers.
#include "platform/windows/internal.h"

#include "base/err.h"

static_assert(ERR_OK == ERROR_SUCCESS);
static_assert(ERR_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(ERR_PATH_NOT_FOUND == ERROR_PATH_NOT_FOUND);
static_assert(ERR_TOO_MANY_OPEN_FILES == ERROR_TOO_MANY_OPEN_FILES);
static_assert(ERR_ACCESS_DENIED == ERROR_ACCESS_DENIED);
static_assert(ERR_LOCK_VIOLATION == ERROR_LOCK_VIOLATION);
static_assert(ERR_INVALID_HANDLE == ERROR_INVALID_HANDLE);
static_assert(ERR_NOT_ENOUGH_MEMORY == ERROR_NOT_ENOUGH_MEMORY);
static_assert(ERR_BAD_FORMAT == ERROR_BAD_FORMAT);
static_assert(ERR_OUTOFMEMORY == ERROR_OUTOFMEMORY);
static_assert(ERR_NOT_SAME_DEVICE == ERROR_NOT_SAME_DEVICE);
static_assert(ERR_NO_MORE_FILES == ERROR_NO_MORE_FILES);
static_assert(ERR_WRITE_PROTECT == ERROR_WRITE_PROTECT);
static_assert(ERR_CRC == ERROR_CRC);
static_assert(ERR_GEN_FAILURE == ERROR_GEN_FAILURE);
static_assert(ERR_SHARING_VIOLATION == ERROR_SHARING_VIOLATION);
static_assert(ERR_HANDLE_EOF == ERROR_HANDLE_EOF);
static_assert(ERR_HANDLE_DISK_FULL == ERROR_HANDLE_DISK_FULL);
static_assert(ERR_NOT_SUPPORTED == ERROR_NOT_SUPPORTED);
static_assert(ERR_INVALID_PARAMETER == ERROR_INVALID_PARAMETER);
static_assert(ERR_BROKEN_PIPE == ERROR_BROKEN_PIPE);
static_assert(ERR_DISK_FULL == ERROR_DISK_FULL);
static_assert(ERR_SEM_TIMEOUT == ERROR_SEM_TIMEOUT);
static_assert(ERR_INVALID_NAME == ERROR_INVALID_NAME);
static_assert(ERR_DIR_NOT_EMPTY == ERROR_DIR_NOT_EMPTY);
static_assert(ERR_BUSY == ERROR_BUSY);
static_assert(ERR_ALREADY_EXISTS == ERROR_ALREADY_EXISTS);
static_assert(ERR_FILENAME_EXCED_RANGE == ERROR_FILENAME_EXCED_RANGE);
static_assert(ERR_FILE_TOO_LARGE == ERROR_FILE_TOO_LARGE);
static_assert(ERR_FILE_INVALID == ERROR_FILE_INVALID);
static_assert(ERR_IO_DEVICE == ERROR_IO_DEVICE);
static_assert(ERR_NOT_FOUND == ERROR_NOT_FOUND);
static_assert(ERR_CANCELLED == ERROR_CANCELLED);
static_assert(ERR_UNKNOWN_REVISION == ERROR_UNKNOWN_REVISION);
static_assert(ERR_CANT_RESOLVE_FILENAME == ERROR_CANT_RESOLVE_FILENAME);
// The platform interface's own numbers.
static_assert(OS_WAIT_INFINITE == INFINITE);
static_assert(OS_FILE_TYPE_DISK == FILE_TYPE_DISK && OS_FILE_TYPE_CHAR == FILE_TYPE_CHAR &&
              OS_FILE_TYPE_PIPE == FILE_TYPE_PIPE && OS_FILE_TYPE_UNKNOWN == FILE_TYPE_UNKNOWN);
static_assert(OS_CONSOLE_INTERRUPT == CTRL_C_EVENT && OS_CONSOLE_BREAK == CTRL_BREAK_EVENT &&
              OS_CONSOLE_CLOSE == CTRL_CLOSE_EVENT && OS_CONSOLE_LOGOFF == CTRL_LOGOFF_EVENT &&
              OS_CONSOLE_SHUTDOWN == CTRL_SHUTDOWN_EVENT);
static_assert(OS_FILE_READ_DATA == FILE_READ_DATA && OS_FILE_WRITE_DATA == FILE_WRITE_DATA &&
              OS_FILE_APPEND_DATA == FILE_APPEND_DATA && OS_FILE_READ_EA == FILE_READ_EA &&
              OS_FILE_WRITE_EA == FILE_WRITE_EA && OS_FILE_EXECUTE == FILE_EXECUTE &&
              OS_FILE_READ_ATTRIBUTES == FILE_READ_ATTRIBUTES &&
              OS_FILE_WRITE_ATTRIBUTES == FILE_WRITE_ATTRIBUTES && OS_DELETE == DELETE &&
              OS_READ_CONTROL == READ_CONTROL && OS_SYNCHRONIZE == SYNCHRONIZE);
static_assert(OS_SHARE_READ == FILE_SHARE_READ && OS_SHARE_WRITE == FILE_SHARE_WRITE &&
              OS_SHARE_DELETE == FILE_SHARE_DELETE);
static_assert(OS_DISPOSITION_SUPERSEDE == FILE_SUPERSEDE && OS_DISPOSITION_OPEN == FILE_OPEN &&
              OS_DISPOSITION_CREATE == FILE_CREATE && OS_DISPOSITION_OPEN_IF == FILE_OPEN_IF &&
              OS_DISPOSITION_OVERWRITE == FILE_OVERWRITE &&
              OS_DISPOSITION_OVERWRITE_IF == FILE_OVERWRITE_IF);
static_assert(OS_CREATE_SUPERSEDED == FILE_SUPERSEDED && OS_CREATE_OPENED == FILE_OPENED &&
              OS_CREATE_CREATED == FILE_CREATED && OS_CREATE_OVERWRITTEN == FILE_OVERWRITTEN);
static_assert(OS_OPTION_DIRECTORY == FILE_DIRECTORY_FILE &&
              OS_OPTION_NO_BUFFERING == FILE_NO_INTERMEDIATE_BUFFERING &&
              OS_OPTION_SYNCHRONOUS_ALERT == FILE_SYNCHRONOUS_IO_ALERT &&
              OS_OPTION_SYNCHRONOUS == FILE_SYNCHRONOUS_IO_NONALERT &&
              OS_OPTION_NON_DIRECTORY == FILE_NON_DIRECTORY_FILE &&
              OS_OPTION_OPEN_REPARSE_POINT == FILE_OPEN_REPARSE_POINT);
static_assert(OS_ATTRIBUTE_READONLY == FILE_ATTRIBUTE_READONLY &&
              OS_ATTRIBUTE_HIDDEN == FILE_ATTRIBUTE_HIDDEN &&
              OS_ATTRIBUTE_SYSTEM == FILE_ATTRIBUTE_SYSTEM &&
              OS_ATTRIBUTE_DIRECTORY == FILE_ATTRIBUTE_DIRECTORY &&
              OS_ATTRIBUTE_ARCHIVE == FILE_ATTRIBUTE_ARCHIVE &&
              OS_ATTRIBUTE_DEVICE == FILE_ATTRIBUTE_DEVICE &&
              OS_ATTRIBUTE_NORMAL == FILE_ATTRIBUTE_NORMAL &&
              OS_ATTRIBUTE_REPARSE_POINT == FILE_ATTRIBUTE_REPARSE_POINT &&
              OS_ATTRIBUTE_NOT_CONTENT_INDEXED == FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
static_assert(OS_REPARSE_TAG_MOUNT_POINT == IO_REPARSE_TAG_MOUNT_POINT &&
              OS_REPARSE_TAG_SYMLINK == IO_REPARSE_TAG_SYMLINK);
// The native records are passed through unchanged.
static_assert(sizeof(OsFileBasicInfo) == sizeof(FILE_BASIC_INFO));
static_assert(sizeof(OsFileStandardInfo) == sizeof(FILE_STANDARD_INFO));
static_assert(sizeof(OsFileIdInfo) == sizeof(FILE_ID_INFO));
static_assert(sizeof(OsObjectNameInfo) == sizeof(UNICODE_STRING));
static_assert(sizeof(OsFolderEntryIdExtended) == offsetof(FILE_ID_EXTD_DIR_INFO, FileName));

int win_error_from_status(NTSTATUS status) {
  if (status == STATUS_SUCCESS) return 0;
  return static_cast<int>(RtlNtStatusToDosError(status));
}

int win_query_error(NTSTATUS status) {
  if (status == STATUS_INVALID_INFO_CLASS || status == STATUS_NOT_IMPLEMENTED) {
    return ERROR_INVALID_PARAMETER;
  }
  return win_error_from_status(status);
}

int win_query_result(NTSTATUS status, const IO_STATUS_BLOCK& io) {
  if (NT_SUCCESS(status) && status != STATUS_PENDING) status = io.Status;
  return win_query_error(status);
}

int win_utf8_out(const wchar_t* units, size_t count, char* buffer, size_t capacity,
                 size_t* out_length) {
  if (out_length) *out_length = 0;
  if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
  buffer[0] = 0;
  if (count == 0) return ERROR_GEN_FAILURE;
  const int n = WideCharToMultiByte(CP_UTF8, 0, units, static_cast<int>(count), buffer,
                                    static_cast<int>(capacity - 1 > 0x7FFFFFFF ? 0x7FFFFFFF
                                                                               : capacity - 1),
                                    nullptr, nullptr);
  if (n <= 0) {
    buffer[0] = 0;
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ERROR_FILENAME_EXCED_RANGE
                                                       : ERROR_GEN_FAILURE;
  }
  buffer[n] = 0;
  if (out_length) *out_length = static_cast<size_t>(n);
  return 0;
}
