// Returning freed memory: malloc_trim where the C library is glibc.
#include "platform/Memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vantorix {

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace vantorix
