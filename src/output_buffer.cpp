// The output buffer's growth and its handing over of the record (src/output_buffer.h).
#include "output_buffer.h"

#include <algorithm>
#include <cstring>

namespace zav {

namespace {

// a * b, or the largest Py_ssize_t where that would overflow.
Py_ssize_t saturating_product(Py_ssize_t a, Py_ssize_t b) {
    Py_ssize_t product;
    return __builtin_mul_overflow(a, b, &product) ? PY_SSIZE_T_MAX : product;
}

}  // namespace

PyObject* OutputBuffer::finish() {
    if (!bytes_) {
        // Copied inline: most records are a few dozen bytes, for which a call of
        // memcpy costs about as much as the copy.
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, used());
        if (bytes != nullptr) {
            copy_short(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes)), small_,
                       static_cast<std::size_t>(used()));
        }
        return bytes;
    }
    Py_ssize_t size = used();
    if (limit_ - begin_ > kept_room(size) && !resize(kept_room(size))) {
        return nullptr;
    }
    // Cut to size in place: the bytes object ends at its size, whatever its block holds.
    Py_SET_SIZE(bytes_.get(), size);
    begin_[size] = '\0';
    return bytes_.release();
}

// The room a record of `size` bytes keeps when it is handed over. A large one keeps up
// to an eighth more: the C library maps a block of that size apart and, when it is
// freed, maps apart from then on only blocks larger than it. A record cut to its exact
// size would have every later record of its size, whose room grew a little beyond it,
// mapped anew, its fresh pages each faulting in, which costs many times the writing.
Py_ssize_t OutputBuffer::kept_room(Py_ssize_t size) {
    return size < margin_limit ? size : size + size / projection_margin;
}

unsigned char* OutputBuffer::grow(Py_ssize_t n) {
    Py_ssize_t needed = used() + n;
    Py_ssize_t capacity = limit_ - begin_;
    Py_ssize_t projected = saturating_product(needed / (done_ + 1), entries_);
    projected = std::min(projected, PY_SSIZE_T_MAX / 8 * 7);
    // The entries so far are a sample: a record that ends a few percent above its
    // projection would grow again near its end, and a realloc that cannot grow a heap
    // block in place copies the whole record. The margin is given back when it is cut
    // to size. Not for a large record: its block is mapped apart and grows without a
    // copy, and its room must stay within what it keeps (kept_room).
    if (projected < margin_limit) {
        projected += projected / projection_margin;
    }
    Py_ssize_t bound = saturating_product(needed, 4);
    if (done_ >= steady_projection) {
        bound = std::min(bound, PY_SSIZE_T_MAX - projection_allowance) + projection_allowance;
    }
    Py_ssize_t hint = std::min(projected + n, bound);
    return resize(std::max({capacity + capacity / 16, needed, hint})) ? cursor_ : nullptr;
}

// Makes the room `size` bytes, moving the record out of the stack buffer the first time.
bool OutputBuffer::resize(Py_ssize_t size) {
    Py_ssize_t used = this->used();
    PyObject* bytes = bytes_ ? bytes_.release() : nullptr;
    if (bytes == nullptr) {
        bytes = PyBytes_FromStringAndSize(nullptr, size);
        if (bytes != nullptr) {
            std::memcpy(PyBytes_AS_STRING(bytes), small_, static_cast<std::size_t>(used));
        }
    } else if (_PyBytes_Resize(&bytes, size) < 0) {
        bytes = nullptr;  // the object is gone and the error set
    }
    if (bytes == nullptr) {
        return false;
    }
    bytes_ = Ref::steal(bytes);
    begin_ = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes));
    cursor_ = begin_ + used;
    limit_ = begin_ + size;
    return true;
}

}  // namespace zav
