// A program that declares HANDLE and INVALID_HANDLE_VALUE itself, as code
// written for Windows often does, includes the header without a clash.
#include <cstdint>
typedef void *HANDLE;
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#include <VEL_KV21X.h>

int main() { return VEL_RemoveProbe(INVALID_HANDLE_VALUE) == VEL_INVALID_HANDLE ? 0 : 1; }
