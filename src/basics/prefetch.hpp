#pragma once

namespace tarnu::detail {

// Asks the processor to start loading the cache line at `address`; a hint
// only, which never faults. Every read-ahead of the core goes through here.
//
// __builtin_prefetch alone does not survive -O3 in GCC 12: the compiler
// sees no effect in it (it reads and writes no memory as far as the
// optimiser knows), so interprocedural analysis (-fipa-modref) finds a
// function whose only work is prefetching free of side effects, and deletes
// every call to it that was not inlined first. That removed the cell and
// table stages of the batches' pipeline (the cells that IdPool::candidate
// asks for, the warm steps through InnerTable::prefetch) while the source
// still showed them.
// The empty volatile asm is an effect the compiler must keep, so a function
// that prefetches is never taken for one that does nothing. It emits no
// instruction; tests/python/test_read_ahead.py counts the prefetches that
// each pipeline compiles to, so a loss shows up as a failing test.
inline void prefetch(const void* address) noexcept {
    __builtin_prefetch(address);
    asm volatile("");
}

}  // namespace tarnu::detail
