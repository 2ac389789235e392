// Path names in either syntax. Normalisation tries a small local buffer first;
// only long results pay a second pass into storage of the exact size.
#include "base/path.h"

#include <cstring>

#include "base/err.h"
#include "base/text.h"
#include "base/utf.h"

const PathSyntax PATH_SYNTAX_WINDOWS = {'\\', true, current_folder, drive_current_folder};
const PathSyntax PATH_SYNTAX_POSIX = {'/', false, current_folder, drive_current_folder};

const PathSyntax* path_default_syntax() {
  return OS_WINDOWS_NAMES ? &PATH_SYNTAX_WINDOWS : &PATH_SYNTAX_POSIX;
}

namespace {

constexpr size_t PATH_LOCAL_BUFFER = 100;

const PathSyntax* syntax_or_default(const PathSyntax* syntax) {
  return syntax ? syntax : path_default_syntax();
}

bool is_sep(const PathSyntax* s, char c) { return c == '/' || (s->windows_forms && c == '\\'); }

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Writes at *position when it is inside the buffer; the position always advances.
void put(char* buffer, size_t capacity, size_t* position, char c) {
  if (*position < capacity) buffer[*position] = c;
  ++*position;
}

// True when a component of `path` is two or more dots only.
bool climbs(const char* path, const PathSyntax* s) {
  size_t dots = 0;
  bool only_dots = true;
  for (size_t i = 0;; ++i) {
    const char c = path[i];
    if (c == 0 || is_sep(s, c)) {
      if (only_dots && dots >= 2) return true;
      if (c == 0) return false;
      dots = 0;
      only_dots = true;
    } else if (c == '.') {
      ++dots;
    } else {
      only_dots = false;
    }
  }
}

}  // namespace

// True when `folder` is a full path: absolute and, in Windows forms, with a
// drive or network root (a bare "\x" still depends on the current drive).
static bool is_full_folder(const char* folder, const PathSyntax* s, size_t* out_root) {
  size_t root = 0;
  bool absolute = false;
  if (folder == nullptr || path_split(folder, &root, &absolute, nullptr, s) != 0) return false;
  if (out_root) *out_root = root;
  return absolute && (root > 0 || !s->windows_forms);
}

int path_split(const char* path, size_t* out_root_length, bool* out_absolute,
               size_t* out_name_start, const PathSyntax* syntax) {
  const PathSyntax* s = syntax_or_default(syntax);
  if (out_root_length) *out_root_length = 0;
  if (out_absolute) *out_absolute = false;
  if (out_name_start) *out_name_start = 0;
  if (path == nullptr || path[0] == 0) return ERR_INVALID_NAME;
  size_t root = 0;
  bool absolute = false;
  if (is_sep(s, path[0])) {
    absolute = true;
    if (s->windows_forms && is_sep(s, path[1])) {
      if (path[2] == '=' && is_sep(s, path[3])) {
        root = 3;
      } else {
        size_t i = 2;
        while (path[i] && !is_sep(s, path[i])) ++i;
        if (path[i] == 0 || i == 2) return ERR_INVALID_NAME;  // no share, or no server
        size_t share = ++i;
        while (path[i] && !is_sep(s, path[i])) ++i;
        if (i == share) return ERR_INVALID_NAME;
        root = i;
      }
    }
  } else if (s->windows_forms && is_letter(path[0]) && path[1] == ':') {
    root = 2;
    absolute = is_sep(s, path[2]);
  }
  if (out_root_length) *out_root_length = root;
  if (out_absolute) *out_absolute = absolute;
  if (out_name_start) {
    size_t name = root;
    for (size_t i = root; path[i]; ++i) {
      if (is_sep(s, path[i])) name = i + 1;
    }
    *out_name_start = name;
  }
  return 0;
}

char* path_join(Allocator* pool, const char* folder, const char* name, const PathSyntax* syntax) {
  const PathSyntax* s = syntax_or_default(syntax);
  name = text_or_empty(name);
  if (text_is_empty(folder)) return pool_copy_text(pool, name);
  size_t folder_length = text_len(folder);
  if (is_sep(s, folder[folder_length - 1])) --folder_length;
  if (is_sep(s, name[0])) ++name;
  const size_t name_length = text_len(name);
  char* out = static_cast<char*>(allocate(pool, folder_length + 1 + name_length + 1));
  if (out == nullptr) return nullptr;
  memcpy(out, folder, folder_length);
  out[folder_length] = s->separator;
  memcpy(out + folder_length + 1, name, name_length + 1);
  return out;
}

size_t path_normalize_into(const char* path, size_t root_length, bool absolute, char* buffer,
                           size_t capacity, const PathSyntax* syntax) {
  const PathSyntax* s = syntax_or_default(syntax);
  const char sep = s->separator;
  path = text_or_empty(path);
  const size_t n = text_len(path);
  if (root_length > n) root_length = n;
  size_t out = 0;
  for (size_t i = 0; i < root_length; ++i) {
    put(buffer, capacity, &out, is_sep(s, path[i]) ? sep : path[i]);
  }
  // A bare network root stays bare: '\\.\C:' names the volume device, while
  // '\\.\C:\' names the folder at its top.
  if (absolute && root_length < n) put(buffer, capacity, &out, sep);
  const size_t floor = out;
  size_t unresolved = 0;

  size_t i = root_length;
  while (i < n && is_sep(s, path[i])) ++i;
  while (i < n) {
    const size_t start = i;
    while (i < n && !is_sep(s, path[i])) ++i;
    const size_t length = i - start;
    while (i < n && is_sep(s, path[i])) ++i;
    size_t dots = 0;
    while (dots < length && path[start + dots] == '.') ++dots;
    if (dots == length) {
      // k dots climb k - 1 components.
      for (size_t k = 1; k < dots; ++k) {
        if (out == floor) {
          ++unresolved;
        } else if (out <= capacity) {
          size_t p = out;
          while (p > floor && buffer[p - 1] != sep) --p;
          out = p > floor ? p - 1 : floor;
        } else {
          // Past the capacity the output cannot be looked back at. The climb
          // may go above the start, so it is counted as a "..\" group: the
          // length stays an upper bound for the second pass.
          ++unresolved;
        }
      }
      continue;
    }
    if (out != floor) put(buffer, capacity, &out, sep);
    for (size_t j = 0; j < length; ++j) put(buffer, capacity, &out, path[start + j]);
  }

  if (unresolved > 0 && !absolute) {
    // Climbs above a relative start stay as "..\" groups at the floor (in
    // front of everything but a drive root); with nothing after them the last
    // group keeps no separator of its own.
    const bool bare = out == floor;
    const size_t extra = 3 * unresolved - (bare ? 1 : 0);
    if (out + extra <= capacity) {
      memmove(buffer + floor + extra, buffer + floor, out - floor);
      for (size_t g = 0; g < unresolved; ++g) {
        buffer[floor + 3 * g] = '.';
        buffer[floor + 3 * g + 1] = '.';
        if (3 * g + 2 < extra) buffer[floor + 3 * g + 2] = sep;
      }
    }
    out += extra;
  }
  if (s->windows_forms && root_length == 0 && !absolute && unresolved == 0 && out >= 2) {
    // A relative path whose first name looks like a drive ("a:x") would read
    // as drive-relative once ".\" in front of it is dropped, so it keeps one.
    // Without the first two bytes at hand the length counts it anyway.
    if (capacity < 2 || (is_letter(buffer[0]) && buffer[1] == ':')) {
      if (out + 2 <= capacity) {
        memmove(buffer + 2, buffer, out);
        buffer[0] = '.';
        buffer[1] = sep;
      }
      out += 2;
    }
  }
  if (out == 0) put(buffer, capacity, &out, '.');
  if (n > 0 && is_sep(s, path[n - 1])) {
    const bool ends_with_sep = out <= capacity && buffer[out - 1] == sep;
    if (!ends_with_sep) put(buffer, capacity, &out, sep);
  }
  return out;
}

char* path_normalize(Allocator* pool, const char* path, const PathSyntax* syntax) {
  if (text_is_empty(path)) return pool_copy_text(pool, ".");
  size_t root = 0;
  bool absolute = false;
  if (path_split(path, &root, &absolute, nullptr, syntax) != 0) return nullptr;
  char local[PATH_LOCAL_BUFFER];
  const size_t length = path_normalize_into(path, root, absolute, local, sizeof local, syntax);
  if (length < sizeof local) return pool_copy_text(pool, local, length);
  char* out = static_cast<char*>(allocate(pool, length + 1));
  if (out == nullptr) return nullptr;
  const size_t exact = path_normalize_into(path, root, absolute, out, length + 1, syntax);
  out[exact <= length ? exact : length] = 0;
  return out;
}

char* path_full(Allocator* pool, const char* base, const char* path, const PathSyntax* syntax) {
  const PathSyntax* s = syntax_or_default(syntax);
  if (text_is_empty(path)) path = ".";
  // A user's path in the build's POSIX syntax names what the kernel names,
  // which takes ".." after a link from the link's target. Parents asked for
  // with a base ("..") are of names already resolved, and stay lexical.
  if (base == nullptr && s == path_default_syntax() && !s->windows_forms && climbs(path, s)) {
    return path_full_resolved(pool, path, final_path, s);
  }
  size_t root = 0;
  bool absolute = false;
  if (path_split(path, &root, &absolute, nullptr, s) != 0) return nullptr;
  // Without drive and network forms a leading separator is a complete root.
  if (absolute && (root > 0 || !s->windows_forms)) return path_normalize(pool, path, s);

  ScratchPool local;
  const char* folder = nullptr;
  if (base != nullptr) {
    // The base is made full first, so that a relative, root-relative or
    // drive-relative base is taken where it points.
    folder = path_full(&local, nullptr, base, s);
    if (folder == nullptr) return nullptr;
  } else {
    folder = s->current_folder(&local);
  }
  size_t folder_root = 0;
  if (!is_full_folder(folder, s, &folder_root)) return nullptr;

  const char* rest = path;
  if (root == 0 && absolute) {
    // Root-relative: the base folder's drive or network root, then the path.
    folder = pool_copy_text(&local, folder, folder_root);
    rest = path + 1;
  } else if (root == 2) {
    // Drive-relative: the base folder when it is on that drive, else the
    // drive's own current folder, else the bare drive.
    if (!(folder_root == 2 && text_compare_folded(folder, 2, path, 2) == 0)) {
      // The drive's folder comes from the environment: anything but a full
      // path there counts as none.
      folder = s->drive_current_folder(&local, path[0]);
      if (!is_full_folder(folder, s, nullptr)) folder = pool_copy_text(&local, path, 2);
    }
    rest = path + 2;
  }
  if (folder == nullptr) return nullptr;
  const char* joined = path_join(&local, folder, rest, s);
  if (joined == nullptr) return nullptr;
  return path_normalize(pool, joined, s);
}

char* path_full_resolved(Allocator* pool, const char* path, PathResolver resolve,
                         const PathSyntax* syntax) {
  const PathSyntax* s = syntax_or_default(syntax);
  if (s->windows_forms) return path_full(pool, nullptr, path, s);
  if (text_is_empty(path)) path = ".";
  ScratchPool local;
  const char* typed = path;
  if (!is_sep(s, path[0])) {
    const char* folder = s->current_folder(&local);
    if (!is_full_folder(folder, s, nullptr)) return nullptr;
    typed = path_join(&local, folder, path, s);
    if (typed == nullptr) return nullptr;
  }
  // `at` is the path reached so far, in normal form: the root, then names.
  const char root[2] = {s->separator, 0};
  const char* at = root;
  const size_t n = text_len(typed);
  size_t i = 0;
  while (at != nullptr) {
    while (i < n && is_sep(s, typed[i])) ++i;
    if (i == n) break;
    const size_t start = i;
    while (i < n && !is_sep(s, typed[i])) ++i;
    const size_t length = i - start;
    size_t dots = 0;
    while (dots < length && typed[start + dots] == '.') ++dots;
    if (dots < length) {
      const char* name = pool_copy_text(&local, typed + start, length);
      at = name ? path_join(&local, at, name, s) : nullptr;
      continue;
    }
    for (size_t k = 1; k < dots && at != nullptr && at[1] != 0; ++k) {
      // The climb starts where the path so far leads; a missing or unreadable
      // prefix keeps its spelling, as the kernel would fail on it anyway.
      const char* real = resolve(&local, at);
      if (real != nullptr && is_full_folder(real, s, nullptr)) at = real;
      size_t name_start = 0;
      if (path_split(at, nullptr, nullptr, &name_start, s) != 0) return nullptr;
      at = pool_copy_text(&local, at, name_start > 1 ? name_start - 1 : 1);
    }
  }
  if (at == nullptr) return nullptr;
  const size_t length = text_len(at);
  if (is_sep(s, typed[n - 1]) && at[length - 1] != s->separator) {
    char* out = static_cast<char*>(allocate(pool, length + 2));
    if (out == nullptr) return nullptr;
    memcpy(out, at, length);
    out[length] = s->separator;
    out[length + 1] = 0;
    return out;
  }
  return pool_copy_text(pool, at, length);
}

char* final_path(Allocator* pool, const char* path) {
  ScratchPool local;
  NativeName name;
  if (path_native_name(&local, path, &name) != 0) return nullptr;
  char buffer[OS_FOLDER_TEXT_MAX];
  size_t length = 0;
  if (os_final_path(&name.name, buffer, sizeof buffer, &length) != 0 || length == 0) return nullptr;
  return pool_copy_text(pool, buffer, length);
}

char* current_folder(Allocator* pool) {
  char buffer[OS_FOLDER_TEXT_MAX];
  size_t length = 0;
  if (os_current_folder(buffer, sizeof buffer, &length) != 0 || length == 0) return nullptr;
  return pool_copy_text(pool, buffer, length);
}

char* drive_current_folder(Allocator* pool, char letter) {
  char buffer[OS_FOLDER_TEXT_MAX];
  size_t length = 0;
  if (os_drive_current_folder(letter, buffer, sizeof buffer, &length) != 0 || length == 0) {
    return nullptr;
  }
  return pool_copy_text(pool, buffer, length);
}

namespace {

// Whether `path` is a full path that normalising would give back unchanged:
// a root ("/" or "C:\\"), then names separated by single separators, none of
// them "." or "..", none ending in a dot or a space where such ends are cut,
// and no separator at the end. Chunk and temporary file paths, built from a
// store's normalised path, are all of this form, so that opening one does not
// normalise it again.
bool already_normal_full(const char* path, const PathSyntax* s) {
  size_t at;
  if (!s->windows_forms) {
    if (path[0] != '/') return false;
    at = 1;
  } else {
    if (!is_letter(path[0]) || path[1] != ':' || path[2] != '\\') return false;
    at = 3;
  }
  size_t start = at;
  for (;; ++at) {
    const char c = path[at];
    if (c != 0 && c != s->separator) {
      if (s->windows_forms && (c == '/' || c == ':')) return false;
      continue;
    }
    const size_t n = at - start;
    if (n == 0) return false;  // doubled or trailing separator
    if (path[start] == '.' && (n == 1 || (n == 2 && path[start + 1] == '.'))) return false;
    if (s->windows_forms && (path[at - 1] == '.' || path[at - 1] == ' ')) return false;
    if (c == 0) return true;
    start = at + 1;
  }
}

}  // namespace

int path_native_name(Allocator* pool, const char* path, NativeName* out, const PathSyntax* syntax) {
  const PathSyntax* s = syntax_or_default(syntax);
  memset(out, 0, sizeof *out);
  const char* full = path != nullptr && already_normal_full(path, s)
                         ? path
                         : path_full(pool, nullptr, path, s);
  if (text_is_empty(full)) return ERR_INVALID_NAME;
  if (!s->windows_forms) {
    out->name.bytes = full;
    out->name.byte_count = text_len(full);
    out->storage = const_cast<char*>(full);
    out->storage_size = out->name.byte_count + 1;
    return 0;
  }

  const char16_t* prefix;
  const char* rest;
  auto bs = [](char c) { return c == '\\'; };
  if (is_letter(full[0]) && full[1] == ':' && (full[2] == 0 || bs(full[2]))) {
    prefix = u"\\??\\";
    rest = full;
  } else if (bs(full[0]) && bs(full[1]) && (full[2] == '.' || full[2] == '?') && bs(full[3])) {
    prefix = u"\\??\\";
    rest = full + 4;
  } else if (bs(full[0]) && bs(full[1]) && full[2] == '=' && bs(full[3])) {
    prefix = u"\\";
    rest = full + 4;
  } else if (bs(full[0]) && bs(full[1])) {
    prefix = u"\\??\\UNC\\";
    rest = full + 2;
  } else if (bs(full[0])) {
    prefix = u"";
    rest = full;
  } else {
    return ERR_INVALID_NAME;
  }
  const size_t prefix_units = wide_len(prefix);
  const size_t rest_units = wide_from_utf8_len(rest, TEXT_UNBOUNDED);
  const size_t units = prefix_units + rest_units;
  if (2 * units > 0xFFFF) return ERR_INVALID_NAME;
  const size_t size = 2 * units + 22;
  auto* block = static_cast<char16_t*>(allocate(pool, size));
  if (block == nullptr) return ERR_OUTOFMEMORY;
  block[0] = u'\\';
  block[1] = u'\\';
  block[2] = u'=';
  char16_t* name = block + 3;
  memcpy(name, prefix, prefix_units * sizeof(char16_t));
  wide_from_utf8(name + prefix_units, rest_units + 1, rest);
  name[units] = 0;
  out->name.length = static_cast<uint16_t>(2 * units);
  // A name of 32767 units has no room to count its terminator in 16 bits.
  out->name.maximum_length = static_cast<uint16_t>(2 * units + 2 > 0xFFFE ? 0xFFFE : 2 * units + 2);
  out->name.units = name;
  out->units = name;
  out->unit_count = units;
  out->storage = block;
  out->storage_size = size;
  return 0;
}
