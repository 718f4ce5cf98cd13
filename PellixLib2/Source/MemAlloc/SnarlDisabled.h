#pragma once

// The system heap under the library's global operators: plain malloc and free, no header of any
// kind, so memory from operator new may be released by free and the other way round.

// What malloc returns for the size.
void* SnarlDisabledAllocate(unsigned long size);
// Nothing for a null pointer.
void SnarlDisabledDeallocate(void* ptr);
