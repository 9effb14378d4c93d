#pragma once
// Allocations of the kernel-streaming layer. They come from one heap, the
// process heap unless the owner of the layer (the driver DLL) names its own.
#include <windows.h>

#include <cstddef>

// Zero-filled; null when the heap cannot satisfy the request.
void* KsAlloc(size_t size);
void KsFree(void* p);
// Null restores the process heap. Call before any allocation is made.
void KsSetHeap(HANDLE heap);
