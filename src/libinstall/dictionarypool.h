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
//
// The decoders of one extraction share the pool; one extraction runs at a
// time.

#include <cstddef>

#include "7zTypes.h"

extern "C" const ISzAlloc g_DictionaryPoolAlloc;

// Makes every new dictionary at least `bytes` large (the largest dictionary
// of the archive's blocks), so that one allocation per decoder serves all
// the blocks it decodes. Until this is called, a new dictionary is as large
// as the largest asked for so far.
void SetPooledDictionarySize(size_t bytes);

// Frees the kept dictionaries and forgets the size; called when an
// extraction has ended.
void ReleasePooledDictionaries();

// Bytes held in kept (not handed out) dictionaries.
size_t PooledDictionaryBytes();
