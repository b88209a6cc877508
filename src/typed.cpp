// zav._typed: reads a map record into an object of a record class by a plan compiled
// once by zav.typed, without a Python call per field for the common types. The plan
// holds, per field, its name, its key's bytes, how its text is parsed and what its
// absence means. Ints of up to 19 digits and decimal floats are parsed here; every other
// form goes to the field's Python parser (int(), float(), ...), so that results and
// errors are always theirs. Anything unusual about the record itself (a corrupt length,
// a key that is not UTF-8) is left to the plan's Python model, whose reader raises what
// _deserialize_dict raises.
#include "serializer.h"

#include <fast_float/fast_float.h>

#include <memory>
#include <string>
#include <vector>

namespace zav::typed {
namespace {

// Must match zav/typed.py.
enum Kind : int { kind_str, kind_bytes, kind_int, kind_float, kind_bool, kind_other };
enum Absent : int { absent_required, absent_none, absent_default, absent_factory, absent_left_out };
enum Make : int { make_dict_class, make_slots_class, make_tuple_class, make_typeddict };

struct FieldPlan {
    Ref name;
    Ref key;  // bytes
    Ref parse;
    Ref fallback_value;  // the default, or the default factory
    int kind;
    int absent;
    Ref dump;  // the Python writer of a value: what the plain writers take, or its TypeError
    bool optional;  // None is written as the key's absence
};

struct Plan {
    Ref cls;
    Ref cls_name;
    Ref post_init;  // None, or called with the new object
    Ref fallback;   // the Python model's load
    std::vector<FieldPlan> fields;
    int make;
    bool forbid_unknown;
};

struct PlanObject {
    PyObject_HEAD
    Plan* plan;
};

// Where a field's text lies in the record; data is null where the field is absent.
struct Span {
    const char* data;
    Py_ssize_t size;
};

// ---------------------------------------------------------------------------
// Text to values

// An int of at most 19 digits with an optional sign, as int() reads it; an empty Ref
// without an exception for any other form.
Ref fast_int(const char* p, Py_ssize_t n) {
    bool negative = n > 0 && p[0] == '-';
    Py_ssize_t start = n > 0 && (p[0] == '-' || p[0] == '+') ? 1 : 0;
    Py_ssize_t digits = n - start;
    if (digits < 1 || digits > 19) {
        return Ref();
    }
    std::uint64_t value = 0;
    for (Py_ssize_t i = start; i < n; ++i) {
        unsigned digit = static_cast<unsigned char>(p[i]) - '0';
        if (digit > 9) {
            return Ref();
        }
        value = value * 10 + digit;
    }
    if (!negative) {
        return Ref::steal(PyLong_FromUnsignedLongLong(value));
    }
    if (value <= static_cast<std::uint64_t>(INT64_MAX)) {
        return Ref::steal(PyLong_FromLongLong(-static_cast<long long>(value)));
    }
    Ref magnitude = Ref::steal(PyLong_FromUnsignedLongLong(value));
    return magnitude ? Ref::steal(PyNumber_Negative(magnitude.get())) : Ref();
}

// A float written in decimal digits, sign, point and exponent only, as float() reads it;
// an empty Ref without an exception for any other form (spaces, underscores, inf, nan,
// non-ASCII digits), and where the value is out of range.
Ref fast_float_value(const char* p, Py_ssize_t n) {
    if (n == 0) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = p[i];
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+')) {
            return Ref();
        }
    }
    double value = 0;
    auto result = fast_float::from_chars(p, p + n, value);
    if (result.ec != std::errc() || result.ptr != p + n) {
        return Ref();
    }
    return Ref::steal(PyFloat_FromDouble(value));
}

// The value of one field's text.
Ref parse(const FieldPlan& field, Span text) {
    switch (field.kind) {
    case kind_str:
        return Ref::steal(PyUnicode_DecodeUTF8(text.data, text.size, nullptr));
    case kind_bytes:
        return Ref::steal(PyBytes_FromStringAndSize(text.data, text.size));
    case kind_int:
        if (Ref value = fast_int(text.data, text.size); value || PyErr_Occurred()) {
            return value;
        }
        break;
    case kind_float:
        if (Ref value = fast_float_value(text.data, text.size); value || PyErr_Occurred()) {
            return value;
        }
        break;
    case kind_bool:
        if (text.size == 4 && std::memcmp(text.data, "True", 4) == 0) {
            return Ref::borrow(Py_True);
        }
        if (text.size == 5 && std::memcmp(text.data, "False", 5) == 0) {
            return Ref::borrow(Py_False);
        }
        break;  // the parser raises its ValueError
    default:
        break;
    }
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(text.data, text.size));
    if (!raw) {
        return Ref();
    }
    PyObject* arg = raw.get();
    return Ref::steal(PyObject_Vectorcall(field.parse.get(), &arg, 1, nullptr));
}

void add_note(PyObject* error, PyObject* note) {
    Ref added = Ref::steal(PyObject_CallMethod(error, "add_note", "O", note));
    if (!added) {
        PyErr_Clear();
    }
}

// Adds "in field 'NAME' of CLASS" to the pending exception.
void note_field(const Plan& plan, const FieldPlan& field) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError)) {
        Ref note = Ref::steal(PyUnicode_FromFormat("in field %R of %U", field.name.get(), plan.cls_name.get()));
        if (note) {
            add_note(error.get(), note.get());
        } else {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(error.release());
}

// ---------------------------------------------------------------------------
// The record's pairs

enum class Scan { done, unusual, failed };

// The index of the field whose key is the given bytes, trying the one after the last
// found first (records are written in field order); -1 for none.
Py_ssize_t find_field(const Plan& plan, const char* key, std::uint64_t size, std::size_t guess) {
    const std::size_t count = plan.fields.size();
    for (std::size_t tried = 0; tried < count; ++tried) {
        std::size_t i = guess + tried < count ? guess + tried : guess + tried - count;
        PyObject* known = plan.fields[i].key.get();
        if (static_cast<std::uint64_t>(PyBytes_GET_SIZE(known)) == size &&
            std::memcmp(PyBytes_AS_STRING(known), key, size) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// Whether an unknown key would be read by _deserialize_dict (UTF-8); -1 on failure.
int readable_key(const char* key, std::uint64_t size, Ref& text) {
    text = Ref::steal(PyUnicode_DecodeUTF8(key, static_cast<Py_ssize_t>(size), nullptr));
    if (text) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Finds every known field's text (the last pair of a key counts, as in a dict).
// unusual: the record is corrupt or has a key that is not UTF-8, for the model to
// raise about. first_unknown: the first key no field has, where there is one.
Scan scan(const Plan& plan, const unsigned char* data, std::size_t size, Span* spans, Ref& first_unknown) {
    std::size_t pos = 0;
    std::size_t guess = 0;
    while (pos < size) {
        std::uint64_t key_size;
        std::uint64_t value_size;
        std::size_t width = _readvarnum(data + pos, size - pos, &key_size);
        if (data[pos + width - 1] >= 0x80 || (pos += width) >= size) {
            return Scan::unusual;
        }
        width = _readvarnum(data + pos, size - pos, &value_size);
        pos += width;
        if (data[pos - 1] >= 0x80 || key_size > size - pos || value_size > size - pos - key_size) {
            return Scan::unusual;
        }
        const char* key = reinterpret_cast<const char*>(data + pos);
        const char* value = key + key_size;
        pos += key_size + value_size;
        Py_ssize_t index = find_field(plan, key, key_size, guess);
        if (index >= 0) {
            spans[index] = {value, static_cast<Py_ssize_t>(value_size)};
            guess = static_cast<std::size_t>(index) + 1;
            continue;
        }
        Ref text;
        int readable = readable_key(key, key_size, text);
        if (readable <= 0) {
            return readable < 0 ? Scan::failed : Scan::unusual;
        }
        if (!first_unknown) {
            first_unknown = std::move(text);
        }
    }
    return Scan::done;
}

// ---------------------------------------------------------------------------
// Values to the object

// The value of a field the record lacks; empty with an exception set for a required one.
Ref absent_value(const Plan& plan, const FieldPlan& field) {
    switch (field.absent) {
    case absent_required:
        PyErr_Format(PyExc_ValueError, "the record lacks the required field %R of %U", field.name.get(),
                     plan.cls_name.get());
        return Ref();
    case absent_default:
        return Ref::borrow(field.fallback_value.get());
    case absent_factory:
        return Ref::steal(PyObject_CallNoArgs(field.fallback_value.get()));
    default:
        return Ref::borrow(Py_None);
    }
}

// Collects the fields' values and makes the object of the plan's class from them.
class Maker {
public:
    explicit Maker(const Plan& plan) : plan_(plan) {}

    bool start() {
        switch (plan_.make) {
        case make_tuple_class:
            items_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(plan_.fields.size())));
            return static_cast<bool>(items_);
        case make_typeddict:
            items_ = Ref::steal(PyDict_New());
            return static_cast<bool>(items_);
        default: {
            auto* cls = reinterpret_cast<PyTypeObject*>(plan_.cls.get());
            Ref no_args = Ref::steal(PyTuple_New(0));
            items_ = no_args ? Ref::steal(PyBaseObject_Type.tp_new(cls, no_args.get(), nullptr)) : Ref();
            return static_cast<bool>(items_);
        }
        }
    }

    // Takes the value of field i; a TypedDict's left-out field passes no value.
    bool set(std::size_t i, Ref value) {
        PyObject* name = plan_.fields[i].name.get();
        switch (plan_.make) {
        case make_tuple_class:
            PyTuple_SET_ITEM(items_.get(), static_cast<Py_ssize_t>(i), value.release());
            return true;
        case make_typeddict:
            return !value || PyDict_SetItem(items_.get(), name, value.get()) == 0;
        default:
            // Past a frozen class's __setattr__, as its generated __init__ does.
            return PyObject_GenericSetAttr(items_.get(), name, value.get()) == 0;
        }
    }

    Ref finish() {
        if (plan_.make == make_tuple_class) {
            Ref args = Ref::steal(PyTuple_Pack(1, items_.get()));
            auto* cls = reinterpret_cast<PyTypeObject*>(plan_.cls.get());
            return args ? Ref::steal(PyTuple_Type.tp_new(cls, args.get(), nullptr)) : Ref();
        }
        if (plan_.post_init.get() != Py_None) {
            PyObject* obj = items_.get();
            Ref done = Ref::steal(PyObject_Vectorcall(plan_.post_init.get(), &obj, 1, nullptr));
            if (!done) {
                return Ref();
            }
        }
        return std::move(items_);
    }

private:
    const Plan& plan_;
    Ref items_;
};

// The value of field i: parsed from its text, or what its absence means.
Ref field_value(const Plan& plan, std::size_t i, Span text) {
    const FieldPlan& field = plan.fields[i];
    if (text.data == nullptr) {
        return field.absent == absent_left_out ? Ref() : absent_value(plan, field);
    }
    Ref value = parse(field, text);
    if (!value) {
        note_field(plan, field);
    }
    return value;
}

Ref make(const Plan& plan, const Span* spans) {
    Maker maker(plan);
    if (!maker.start()) {
        return Ref();
    }
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        Ref value = field_value(plan, i, spans[i]);
        if (!value && PyErr_Occurred()) {
            return Ref();
        }
        if (!maker.set(i, std::move(value))) {
            return Ref();
        }
    }
    return maker.finish();
}

// Room for the spans of a plan's fields: on the stack for most classes.
class Spans {
public:
    explicit Spans(std::size_t count) {
        if (count > local_count) {
            heap_.reset(new (std::nothrow) Span[count]);
        }
        data_ = count > local_count ? heap_.get() : local_;
        if (data_ != nullptr) {
            std::fill_n(data_, count, Span{nullptr, 0});
        }
    }
    Span* get() { return data_; }

private:
    static constexpr std::size_t local_count = 32;
    Span local_[local_count];
    std::unique_ptr<Span[]> heap_;
    Span* data_;
};

PyObject* call_fallback(const Plan& plan, PyObject* data) {
    return PyObject_Vectorcall(plan.fallback.get(), &data, 1, nullptr);
}

// Plan.load(data): the object of a map record.
PyObject* plan_load(PyObject* self, PyObject* data) {
    const Plan& plan = *reinterpret_cast<PlanObject*>(self)->plan;
    if (!PyBytes_CheckExact(data)) {
        return call_fallback(plan, data);
    }
    Spans spans(plan.fields.size());
    if (spans.get() == nullptr) {
        return PyErr_NoMemory();
    }
    Ref unknown;
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    switch (scan(plan, bytes, static_cast<std::size_t>(PyBytes_GET_SIZE(data)), spans.get(), unknown)) {
    case Scan::failed:
        return nullptr;
    case Scan::unusual:
        return call_fallback(plan, data);
    case Scan::done:
        break;
    }
    if (unknown && plan.forbid_unknown) {
        PyErr_Format(PyExc_ValueError, "%U has no field for the record's key %R", plan.cls_name.get(), unknown.get());
        return nullptr;
    }
    return make(plan, spans.get()).release();
}

// Adds "in item INDEX" to the pending exception.
void note_item(Py_ssize_t index) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError)) {
        Ref note = Ref::steal(PyUnicode_FromFormat("in item %zd", index));
        if (note) {
            add_note(error.get(), note.get());
        } else {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(error.release());
}

// load_items(data, kind, parse, fallback): the list of a list record's items, each
// parsed as a field of that kind is; fallback(data) for a record that is not bytes or
// is corrupt, which raises what _deserialize_list raises. An item's error gets its
// index as a note.
PyObject* load_items(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int kind = nargs == 4 ? PyLong_AsInt(args[1]) : -1;
    if (kind == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "load_items(data, kind, parse, fallback)");
        }
        return nullptr;
    }
    PyObject* data = args[0];
    if (!PyBytes_CheckExact(data)) {
        return PyObject_Vectorcall(args[3], &data, 1, nullptr);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    // The whole record is checked first, so that a corrupt one raises as the model's
    // reader does, before any item's parser runs.
    Py_ssize_t count = 0;
    for (std::size_t pos = 0; pos < size; ++count) {
        std::uint64_t length;
        pos += _readvarnum(bytes + pos, size - pos, &length);
        if (bytes[pos - 1] >= 0x80 || length > size - pos) {
            return PyObject_Vectorcall(args[3], &data, 1, nullptr);
        }
        pos += length;
    }
    Ref items = Ref::steal(PyList_New(count));
    if (!items) {
        return nullptr;
    }
    FieldPlan item{Ref(), Ref(), Ref::borrow(args[2]), Ref(), kind, absent_required, Ref(), false};
    std::size_t pos = 0;
    for (Py_ssize_t index = 0; index < count; ++index) {
        std::uint64_t length;
        pos += _readvarnum(bytes + pos, size - pos, &length);
        Ref value = parse(item, {reinterpret_cast<const char*>(bytes + pos), static_cast<Py_ssize_t>(length)});
        if (!value) {
            note_item(index);
            return nullptr;
        }
        PyList_SET_ITEM(items.get(), index, value.release());
        pos += length;
    }
    return items.release();
}

// first_other(sequence, type): the index of the first item of a list or tuple whose
// type is not exactly type, or -1; lets a writer hand a list of one type to the plain
// writer without a Python loop over its items.
PyObject* first_other(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !(PyList_CheckExact(args[0]) || PyTuple_CheckExact(args[0])) || !PyType_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "first_other(sequence: list | tuple, type)");
        return nullptr;
    }
    PyObject* sequence = args[0];
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (Py_TYPE(items[i]) != reinterpret_cast<PyTypeObject*>(args[1])) {
            return PyLong_FromSsize_t(i);
        }
    }
    return PyLong_FromLong(-1);
}

PyMethodDef module_methods[] = {
    {"first_other", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(first_other)), METH_FASTCALL,
     "The index of the first item not of the type, or -1."},
    {"load_items", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_items)), METH_FASTCALL,
     "The parsed items of a list record."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Objects to records

// The bytes of a record as they are written; std::bad_alloc when memory is short,
// caught where the record is returned.
class Output {
public:
    void varnum(std::uint64_t value) {
        unsigned char groups[10];
        int width = 0;
        do {
            groups[width++] = static_cast<unsigned char>(value & 0x7F);
            value >>= 7;
        } while (value != 0);
        for (int i = width - 1; i >= 0; --i) {
            bytes_.push_back(static_cast<char>(groups[i] | (i > 0 ? 0x80 : 0)));
        }
    }
    void pair(const char* key, std::size_t key_size, const char* value, std::size_t value_size) {
        varnum(key_size);
        varnum(value_size);
        bytes_.append(key, key_size);
        bytes_.append(value, value_size);
    }
    PyObject* bytes() const { return PyBytes_FromStringAndSize(bytes_.data(), static_cast<Py_ssize_t>(bytes_.size())); }

private:
    std::string bytes_;
};

// The text the plain writers write for a value they take as it is (str, bytes, int,
// float); empty with an exception set for anything else, or where the text fails.
class Text {
public:
    bool of(PyObject* value) {
        if (PyUnicode_CheckExact(value)) {
            Py_ssize_t size;
            data_ = PyUnicode_AsUTF8AndSize(value, &size);
            size_ = static_cast<std::size_t>(size);
            return data_ != nullptr;
        }
        if (PyBytes_CheckExact(value)) {
            data_ = PyBytes_AS_STRING(value);
            size_ = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
            return true;
        }
        if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
            return of_number(value);
        }
        PyErr_Format(PyExc_TypeError, "a field's writer returned %.200s, not str, bytes, int or float",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    // As the record writers write it; str() for an int of 2**256 or more.
    bool of_number(PyObject* value) {
        Py_ssize_t size = number_text(value, digits_);
        if (size >= 0) {
            data_ = digits_;
            size_ = static_cast<std::size_t>(size);
            return true;
        }
        return of_str(Ref::steal(PyObject_Str(value)));
    }
    bool of_str(Ref text) {
        if (!text) {
            return false;
        }
        owned_ = std::move(text);
        Py_ssize_t size;
        data_ = PyUnicode_AsUTF8AndSize(owned_.get(), &size);
        size_ = static_cast<std::size_t>(size);
        return data_ != nullptr;
    }

    char digits_[max_number_text];
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    Ref owned_;
};

// Whether the plain writers write a value of the field as it is: the field's own type
// exactly. Every other value goes through the field's Python writer, which refuses it
// or gives what to write (an int in a float field, a bool's word, a nested record).
bool written_as_is(const FieldPlan& field, PyObject* value) {
    switch (field.kind) {
    case kind_str:
        return PyUnicode_CheckExact(value);
    case kind_bytes:
        return PyBytes_CheckExact(value);
    case kind_int:
        return PyLong_CheckExact(value);
    case kind_float:
        return PyFloat_CheckExact(value);
    default:
        return false;
    }
}

// The value of field i of obj, read once; empty without an exception for a TypedDict's
// absent key.
Ref field_of(const Plan& plan, PyObject* obj, std::size_t i) {
    const FieldPlan& field = plan.fields[i];
    switch (plan.make) {
    case make_tuple_class:
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(obj)) <= i) {
            PyErr_SetString(PyExc_TypeError, "a tuple shorter than its class's fields");
            return Ref();
        }
        return Ref::borrow(PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i)));
    case make_typeddict: {
        PyObject* value;
        return PyDict_GetItemRef(obj, field.name.get(), &value) < 0 ? Ref() : Ref::steal(value);
    }
    default:
        return Ref::steal(PyObject_GetAttr(obj, field.name.get()));
    }
}

// Writes one field's pair; false with an exception set (noted with the field).
bool write_field(const FieldPlan& field, PyObject* value, Output& out) {
    const char* key = PyBytes_AS_STRING(field.key.get());
    std::size_t key_size = static_cast<std::size_t>(PyBytes_GET_SIZE(field.key.get()));
    if (field.kind == kind_bool && PyBool_Check(value)) {
        bool truth = value == Py_True;
        out.pair(key, key_size, truth ? "True" : "False", truth ? 4 : 5);
        return true;
    }
    Ref written;
    if (!written_as_is(field, value)) {
        written = Ref::steal(PyObject_Vectorcall(field.dump.get(), &value, 1, nullptr));
        if (!written) {
            return false;
        }
        value = written.get();
    }
    Text text;
    if (!text.of(value)) {
        return false;
    }
    out.pair(key, key_size, text.data(), text.size());
    return true;
}

// Plan.dump(obj): the map record of an object of the plan's class (its type checked by
// the caller).
PyObject* plan_dump(PyObject* self, PyObject* obj) {
    const Plan& plan = *reinterpret_cast<PlanObject*>(self)->plan;
    try {
        Output out;
        for (std::size_t i = 0; i < plan.fields.size(); ++i) {
            const FieldPlan& field = plan.fields[i];
            Ref value = field_of(plan, obj, i);
            if (!value) {
                if (PyErr_Occurred()) {
                    note_field(plan, field);
                    return nullptr;
                }
                continue;
            }
            if (value.get() == Py_None && field.optional) {
                continue;
            }
            if (!write_field(field, value.get(), out)) {
                note_field(plan, field);
                return nullptr;
            }
        }
        return out.bytes();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// The Plan type

// Plan(cls, make, names, keys, kinds, parsers, absents, defaults, post_init,
//      forbid_unknown, fallback, dumpers, optionals): the tuples have one item per field.
bool fill_fields(Plan& plan, PyObject* const* tuples) {
    Py_ssize_t count = PyTuple_GET_SIZE(tuples[0]);
    for (int t = 1; t < 8; ++t) {
        if (PyTuple_GET_SIZE(tuples[t]) != count) {
            PyErr_SetString(PyExc_ValueError, "Plan: the field tuples differ in length");
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(tuples[0], i);
        PyObject* key = PyTuple_GET_ITEM(tuples[1], i);
        int kind = PyLong_AsInt(PyTuple_GET_ITEM(tuples[2], i));
        int absent = PyLong_AsInt(PyTuple_GET_ITEM(tuples[4], i));
        if (PyErr_Occurred()) {
            return false;
        }
        if (!PyUnicode_Check(name) || !PyBytes_CheckExact(key)) {
            PyErr_SetString(PyExc_TypeError, "Plan: a field's name is str and its key bytes");
            return false;
        }
        int optional = PyObject_IsTrue(PyTuple_GET_ITEM(tuples[7], i));
        if (optional < 0) {
            return false;
        }
        plan.fields.push_back({Ref::borrow(name), Ref::borrow(key), Ref::borrow(PyTuple_GET_ITEM(tuples[3], i)),
                               Ref::borrow(PyTuple_GET_ITEM(tuples[5], i)), kind, absent,
                               Ref::borrow(PyTuple_GET_ITEM(tuples[6], i)), optional != 0});
    }
    return true;
}

bool fill_plan(Plan& plan, PyObject* args) {
    PyObject* cls;
    int make;
    PyObject* tuples[8];
    PyObject* post_init;
    int forbid_unknown;
    PyObject* fallback;
    if (!PyArg_ParseTuple(args, "O!iO!O!O!O!O!O!OpOO!O!:Plan", &PyType_Type, &cls, &make, &PyTuple_Type,
                          &tuples[0], &PyTuple_Type, &tuples[1], &PyTuple_Type, &tuples[2], &PyTuple_Type,
                          &tuples[3], &PyTuple_Type, &tuples[4], &PyTuple_Type, &tuples[5], &post_init,
                          &forbid_unknown, &fallback, &PyTuple_Type, &tuples[6], &PyTuple_Type, &tuples[7])) {
        return false;
    }
    plan.cls = Ref::borrow(cls);
    plan.cls_name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(cls)));
    plan.post_init = Ref::borrow(post_init);
    plan.fallback = Ref::borrow(fallback);
    plan.make = make;
    plan.forbid_unknown = forbid_unknown != 0;
    return plan.cls_name && fill_fields(plan, tuples);
}

PyObject* plan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Plan() takes no keyword arguments");
        return nullptr;
    }
    std::unique_ptr<Plan> plan(new (std::nothrow) Plan());
    if (!plan) {
        return PyErr_NoMemory();
    }
    try {
        if (!fill_plan(*plan, args)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    reinterpret_cast<PlanObject*>(self.get())->plan = plan.release();
    return self.release();
}

void plan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<PlanObject*>(self)->plan;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef plan_methods[] = {
    {"load", plan_load, METH_O, "The object of a map record, by the plan."},
    {"dump", plan_dump, METH_O, "The map record of an object of the plan's class."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot plan_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(plan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_methods, plan_methods},
    {Py_tp_doc, const_cast<char*>("The compiled reader of one record class; made by zav.typed.")},
    {0, nullptr},
};

PyType_Spec plan_spec = {
    "zav._typed.Plan", sizeof(PlanObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, plan_slots,
};

int module_exec(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &plan_spec, nullptr));
    return type ? PyModule_AddObjectRef(module, "Plan", type.get()) : -1;
}

// A plan never changes once made, so the module runs without the GIL.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_typed", nullptr, 0, module_methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zav::typed

PyMODINIT_FUNC PyInit__typed() { return PyModuleDef_Init(&zav::typed::module_def); }
