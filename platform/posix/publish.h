// The link-then-unlink publication that os_file_rename falls back on where a
// file system refuses an exclusive rename; declared here so that its own test
// can run it on any file system. Included only inside platform/posix/.
#pragma once

// Gives the file `from` the name `to` by linking `to` (which fails when `to`
// exists, so the step stays exclusive) and then unlinking `from`. Returns 0,
// 183 when `to` exists (both names stay), or another error number; when the
// unlink fails the new name is removed again so that only `from` remains.
int posix_rename_by_link(const char* from, const char* to);
