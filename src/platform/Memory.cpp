#include "platform/Memory.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void ReleaseFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

} // namespace platform
