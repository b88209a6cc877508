// The items of a list record, held while it is read (record_readers.cpp, typed.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "serializer.h"

#include <algorithm>
#include <cassert>
#include <cstddef>

namespace zav {

// The items of a list being read, held until the list is made from them at once.
// Their number is known only at the record's end: a pass to count them first costs
// about as much as reading short items, as each item's place depends on the one
// before. The first items are held here, more on the heap.
class ListItems {
public:
    ListItems() = default;
    ListItems(const ListItems&) = delete;
    ListItems& operator=(const ListItems&) = delete;
    ~ListItems() {
        std::for_each(items_, items_ + size_, [](PyObject* item) { Py_DECREF(item); });
        if (items_ != held_) {
            PyMem_Free(items_);
        }
    }

    // Room for at least one more item, on the heap for about as many more as the
    // record's rest holds at the rate of its first `read` bytes; false with MemoryError.
    bool make_room(std::size_t read, std::size_t left) {
        if (size_ < capacity_) {
            return true;
        }
        std::size_t expected = static_cast<std::size_t>(size_) * left / std::max<std::size_t>(read, 1);
        return grow(size_ + std::max(expected, static_cast<std::size_t>(size_)) + 1);
    }

    // Where a loop puts items, as many as room() says, before it says how many (added).
    PyObject** free_slots() { return items_ + size_; }
    Py_ssize_t room() const { return capacity_ - size_; }
    Py_ssize_t size() const { return size_; }
    PyObject* operator[](Py_ssize_t i) const { return items_[i]; }
    void added(Py_ssize_t count) { size_ += count; }

    // Takes a new reference to the next item, where make_room() made room for it.
    void add(PyObject* item) {
        assert(size_ < capacity_);
        items_[size_++] = item;
    }

    // The list of the items, which it takes over; null with MemoryError, the items
    // still held here.
    Ref list() {
        Ref list = Ref::steal(PyList_New(size_));
        if (list) {
            for (Py_ssize_t i = 0; i < size_; ++i) {
                PyList_SET_ITEM(list.get(), i, items_[i]);
            }
            size_ = 0;
        }
        return list;
    }

    class Filler;

private:
    bool grow(std::size_t capacity) {
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) {
            PyErr_NoMemory();
            return false;
        }
        auto* items = static_cast<PyObject**>(PyMem_Malloc(capacity * sizeof(PyObject*)));
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::copy(items_, items_ + size_, items);
        if (items_ != held_) {
            PyMem_Free(items_);
        }
        items_ = items;
        capacity_ = static_cast<Py_ssize_t>(capacity);
        return true;
    }

    static constexpr Py_ssize_t held_items = 64;
    PyObject* held_[held_items];
    PyObject** items_ = held_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = held_items;
};

// Puts items into the free slots of a ListItems, keeping where the next goes and where
// the room ends in locals of the reading loop (a loop that asks the ListItems for every
// item keeps its members in memory); hands the number put back on each make_room and at
// its end.
class ListItems::Filler {
public:
    explicit Filler(ListItems& items) : items_(items), slot_(items.free_slots()), end_(slot_ + items.room()) {}
    Filler(const Filler&) = delete;
    Filler& operator=(const Filler&) = delete;
    ~Filler() { items_.added(slot_ - items_.free_slots()); }

    // As ListItems::make_room.
    bool make_room(std::size_t read, std::size_t left) {
        if (slot_ != end_) {
            return true;
        }
        items_.added(slot_ - items_.free_slots());
        bool made = items_.make_room(read, left);
        slot_ = items_.free_slots();
        end_ = slot_ + items_.room();
        return made;
    }

    // Takes a new reference to the next item, where make_room() made room for it.
    void add(PyObject* item) {
        assert(slot_ < end_);
        *slot_++ = item;
    }

private:
    ListItems& items_;
    PyObject** slot_;
    PyObject** end_;
};

}  // namespace zav
