// Page memory: committed read-write pages from anonymous mappings.
#include "platform/platform.h"

#include <sys/mman.h>

void* os_page_alloc(size_t size) {
  if (size == 0) return nullptr;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void os_page_free(void* address, size_t size) {
  if (address) munmap(address, size);
}
