#pragma once
// The allocator the LZMA decoder gets its dictionary from (the build points
// the decoder's aligned allocator here). A package of several solid blocks
// needs one dictionary of up to 32 MiB per block; freshly allocated, each of
// its pages costs a page fault and a zeroed page on first touch, about a
// tenth of a decoder's time. The pool keeps a freed dictionary and hands it
// to the next block whose dictionary fits in it.
//
// Buffers under 1 MiB (the side streams' small dictionaries, the
// probability tables) are not kept. The pool never holds more than the
// dictionaries that were in use at once: a request that no kept block fits
// frees the kept ones before it allocates.

#include <cstddef>

#include "7zTypes.h"

extern "C" const ISzAlloc g_DictionaryPoolAlloc;

// Frees the kept dictionaries; called when an extraction has ended.
void ReleasePooledDictionaries();

// Bytes held in kept (not handed out) dictionaries.
size_t PooledDictionaryBytes();
