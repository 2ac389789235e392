// Page memory: committed read-write pages of the process, at addresses the
// system chooses.
#include "platform/windows/internal.h"

void* os_page_alloc(size_t size) {
  if (size == 0) return nullptr;
  void* base = nullptr;
  SIZE_T region = size;
  const NTSTATUS status = NtAllocateVirtualMemory(GetCurrentProcess(), &base, 0, &region,
                                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  return NT_SUCCESS(status) ? base : nullptr;
}

void os_page_free(void* address, size_t size) {
  (void)size;  // a release frees the whole region the allocation made
  if (!address) return;
  SIZE_T region = 0;
  NtFreeVirtualMemory(GetCurrentProcess(), &address, &region, MEM_RELEASE);
}
