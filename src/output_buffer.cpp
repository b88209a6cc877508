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
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(small_), used());
    }
    if (cursor_ != limit_ && !resize(used())) {
        return nullptr;
    }
    return bytes_.release();
}

unsigned char* OutputBuffer::grow(Py_ssize_t n) {
    Py_ssize_t needed = used() + n;
    Py_ssize_t capacity = limit_ - begin_;
    Py_ssize_t projected = saturating_product(needed / (done_ + 1), entries_);
    // The entries so far are a sample: a record that ends a few percent above its
    // projection would grow again near its end, and a realloc that cannot grow in
    // place copies the whole record. The margin is given back when it is cut to size.
    projected = std::min(projected, PY_SSIZE_T_MAX / 8 * 7);
    projected = std::min(projected + projected / projection_margin, PY_SSIZE_T_MAX / 8 * 7);
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
