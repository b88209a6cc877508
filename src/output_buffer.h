// The buffer the native writers build a record in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "serializer.h"

namespace zav {

// The record's bytes, filled in place: first in a buffer of its own on the stack,
// which spares records of up to 2 KiB (most records of real data) a bytes object grown
// and then cut to size, then in a bytes object grown as entries come and cut to size
// at the end (a large record keeps a little spare room; see kept_room). Growing
// projects the entries so far onto all of them, and below 96 KiB an eighth more, so
// that the record is copied rarely and its buffer ends close to its size. One large
// entry among small ones projects far too much, and a sequence may report more items than
// it has: a projection is taken at most fourfold, and beyond that, once it rests on a
// few dozen entries, up to a fixed allowance, which records of many small entries up
// to that size reach in one step.
class OutputBuffer {
public:
    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;  // it points into itself
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    void expect(Py_ssize_t entries) { entries_ = entries; }

    // Room for n more bytes at the end, or null with MemoryError.
    unsigned char* room(Py_ssize_t n) { return n <= limit_ - cursor_ ? cursor_ : grow(n); }

    // One entry written up to `end`.
    void commit(unsigned char* end) {
        cursor_ = end;
        ++done_;
    }

    // The end of the record and the end of its room, for a loop that writes many small
    // entries keeping both in registers (stores into the record would make the
    // compiler read members again after each); end_run hands the end back.
    struct Span {
        unsigned char* cursor;
        unsigned char* limit;
    };
    Span span() const { return {cursor_, limit_}; }
    void end_run(unsigned char* end, Py_ssize_t entries) {
        cursor_ = end;
        done_ += entries;
    }

    // Starts the record again, keeping the memory.
    void clear() {
        cursor_ = begin_;
        done_ = 0;
    }

    // The record as a new bytes object, or null with an exception set.
    PyObject* finish();

private:
    Py_ssize_t used() const { return cursor_ - begin_; }

    [[gnu::noinline]] unsigned char* grow(Py_ssize_t n);
    bool resize(Py_ssize_t size);
    static Py_ssize_t kept_room(Py_ssize_t size);

    static constexpr Py_ssize_t projection_allowance = 256 * 1024;
    static constexpr Py_ssize_t steady_projection = 32;  // entries
    static constexpr Py_ssize_t projection_margin = 8;   // an eighth more
    static constexpr Py_ssize_t margin_limit = 96 * 1024;  // below the C library's least mapped block

    unsigned char small_[2048];
    Ref bytes_;
    unsigned char* begin_ = small_;
    unsigned char* cursor_ = small_;               // the end of the entries written
    unsigned char* limit_ = small_ + sizeof small_;
    Py_ssize_t entries_ = 0;
    Py_ssize_t done_ = 0;
};

}  // namespace zav
