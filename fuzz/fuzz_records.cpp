// libFuzzer target for the map and list records of zav.serializer.
//
// The interpreter is embedded once and the module imported from the instrumented build
// that tools/fuzz.sh puts on PYTHONPATH. Each input is
//   1. read as a map record and as a list record, with deserialize True and False; every
//      outcome (result, or the exception and its message) must be the one that a plain
//      reading of the record here predicts;
//   2. cut into pieces given as bytes, text or integers, which are written as a dict, a
//      list and a tuple through both output paths of the writers (the native one for
//      the standard io.BytesIO and the one through a stream's own methods), compared
//      byte for byte with the record built here, and read back with deserialize False.
// Any difference aborts with a report, so libFuzzer keeps the input.
#include "embedded.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zav::Ref;
using zav::fuzz::attribute;
using zav::fuzz::checked;
using zav::fuzz::fail;
using Bytes = std::string_view;

struct Module {
    Ref module;
    Ref io;       // the module's own io
    Ref stand_in; // an io whose BytesIO is a subclass, so that writes go through methods
    Ref serialize_dict;
    Ref deserialize_dict;
    Ref serialize_list;
    Ref deserialize_list;
} zav_module;

void print_object(const char* label, PyObject* obj) {
    std::fprintf(stderr, "%s: ", label);
    if (obj == nullptr) {
        std::fprintf(stderr, "(nothing)\n");
        return;
    }
    PyObject_Print(obj, stderr, 0);
    std::fprintf(stderr, "\n");
}

Ref bytes_of(Bytes b) { return checked(PyBytes_FromStringAndSize(b.data(), std::ssize(b))); }

// The strict UTF-8 decoding of b, or nothing (no exception left) when b has none.
Ref text_of(Bytes b) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(b.data(), std::ssize(b), nullptr));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            fail("decoding failed other than by malformed input");
        }
        PyErr_Clear();
    }
    return text;
}

// ---------------------------------------------------------------------------
// The records as the format defines them

// The lenient reading: groups up to a byte below 0x80 or the end of the input; only the
// low 64 bits of longer varnums stay.
struct Varnum {
    std::uint64_t value = 0;
    std::size_t width = 0;
};

Varnum read_varnum(Bytes in) {
    Varnum v;
    for (unsigned char c : in) {
        ++v.width;
        v.value = (v.value << 7) | (c & 0x7Fu);
        if (c < 0x80) {
            break;
        }
    }
    return v;
}

// The shortest varnum of n, as the writers must produce it.
std::string write_varnum(std::uint64_t n) {
    int width = 1;
    while (width < 8 && (n >> (7 * width)) != 0) {
        ++width;
    }
    std::string out;
    for (int k = width - 1; k >= 0; --k) {
        auto group = static_cast<char>((n >> (7 * k)) & 0x7F);
        out += k > 0 ? static_cast<char>(group | 0x80) : group;
    }
    return out;
}

// The fields of a record up to its end or to its first corrupt entry.
struct Reading {
    std::vector<Bytes> fields;      // key, value, key, value, ... or item, item, ...
    const char* corrupt = nullptr;  // the refusal message when an entry overruns the input
};

Reading read_map(Bytes in) {
    Reading r;
    while (!in.empty()) {
        Varnum k = read_varnum(in);
        in.remove_prefix(k.width);
        if (k.value > in.size()) {
            r.corrupt = "corrupt key, refusing to process";
            break;
        }
        Varnum v = read_varnum(in);
        in.remove_prefix(v.width);
        std::uint64_t both;
        if (__builtin_add_overflow(k.value, v.value, &both) || both > in.size()) {
            r.corrupt = "corrupt value, refusing to process";
            break;
        }
        r.fields.push_back(in.substr(0, k.value));
        r.fields.push_back(in.substr(k.value, v.value));
        in.remove_prefix(both);
    }
    return r;
}

Reading read_list(Bytes in) {
    Reading r;
    while (!in.empty()) {
        Varnum n = read_varnum(in);
        in.remove_prefix(n.width);
        if (n.value > in.size()) {
            r.corrupt = "corrupt array item, refusing to process";
            break;
        }
        r.fields.push_back(in.substr(0, n.value));
        in.remove_prefix(n.value);
    }
    return r;
}

// What a reader call must give: a result, or an exception of exactly this type (and, for
// the refusals, this message).
struct Expected {
    Ref result;
    PyObject* error = nullptr;
    const char* message = nullptr;
};

Expected undecodable() { return {Ref(), PyExc_UnicodeDecodeError, nullptr}; }

// Entries are read in order, so a malformed entry before the corrupt one decides.
Expected expect_map(const Reading& r, bool decode_values) {
    Ref accum = checked(PyDict_New());
    for (std::size_t i = 0; i + 1 < r.fields.size(); i += 2) {
        Ref value = decode_values ? text_of(r.fields[i + 1]) : bytes_of(r.fields[i + 1]);
        Ref key = value ? text_of(r.fields[i]) : Ref();
        if (!key) {
            return undecodable();
        }
        if (PyDict_SetItem(accum.get(), key.get(), value.get()) < 0) {
            fail("dict store failed in the harness");
        }
    }
    if (r.corrupt != nullptr) {
        return {Ref(), PyExc_ValueError, r.corrupt};
    }
    return {std::move(accum)};
}

Expected expect_list(const Reading& r, bool decode) {
    Ref accum = checked(PyList_New(0));
    for (Bytes field : r.fields) {
        Ref item = decode ? text_of(field) : bytes_of(field);
        if (!item) {
            return undecodable();
        }
        if (PyList_Append(accum.get(), item.get()) < 0) {
            fail("list append failed in the harness");
        }
    }
    if (r.corrupt != nullptr) {
        return {Ref(), PyExc_ValueError, r.corrupt};
    }
    return {std::move(accum)};
}

// Equal, and for dicts also in the same order.
bool same(PyObject* got, PyObject* want) {
    if (Py_TYPE(got) != Py_TYPE(want)) {
        return false;
    }
    if (PyDict_CheckExact(want)) {
        Ref got_items = checked(PyDict_Items(got));
        Ref want_items = checked(PyDict_Items(want));
        return PyObject_RichCompareBool(got_items.get(), want_items.get(), Py_EQ) == 1;
    }
    return PyObject_RichCompareBool(got, want, Py_EQ) == 1;
}

// Calls fn(args...) and holds the outcome against what is expected.
template <class... Args>
void check_call(const char* what, PyObject* fn, const Expected& want, Args... args) {
    Ref got = Ref::steal(PyObject_CallFunctionObjArgs(fn, args..., nullptr));
    if (got) {
        if (want.result && same(got.get(), want.result.get())) {
            return;
        }
        std::fprintf(stderr, "%s: wrong result\n", what);
        print_object("got", got.get());
        print_object("expected", want.result.get());
        if (!want.result) {
            std::fprintf(stderr, "expected: %s %s\n", reinterpret_cast<PyTypeObject*>(want.error)->tp_name,
                         want.message ? want.message : "");
        }
        fail("mismatch");
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    bool right_type = want.error != nullptr && Py_TYPE(exc.get()) == reinterpret_cast<PyTypeObject*>(want.error);
    bool right_text = true;
    if (right_type && want.message != nullptr) {
        Ref text = checked(PyObject_Str(exc.get()));
        right_text = PyUnicode_CompareWithASCIIString(text.get(), want.message) == 0;
    }
    if (right_type && right_text) {
        return;
    }
    std::fprintf(stderr, "%s: unexpected exception\n", what);
    if (want.result) {
        print_object("expected", want.result.get());
    } else {
        std::fprintf(stderr, "expected: %s %s\n", reinterpret_cast<PyTypeObject*>(want.error)->tp_name,
                     want.message ? want.message : "");
    }
    PyErr_SetRaisedException(exc.release());
    fail("mismatch");
}

void read_input(Bytes input) {
    Ref record = bytes_of(input);
    Reading as_map = read_map(input);
    Reading as_list = read_list(input);
    for (PyObject* flag : {Py_True, Py_False}) {
        bool decode = flag == Py_True;
        check_call("_deserialize_dict", zav_module.deserialize_dict.get(), expect_map(as_map, decode),
                   record.get(), flag);
        check_call("_deserialize_list", zav_module.deserialize_list.get(), expect_list(as_list, decode),
                   record.get(), flag);
    }
}

// ---------------------------------------------------------------------------
// Writing

// The objects to be written are cut from the input. Each starts with a control byte:
// the low two bits choose the form, the rest the length of the bytes it takes (lengths
// from 56 on take a second byte, so that two-byte varnums occur).
enum Form { as_bytes = 0, as_text = 1, as_number = 2, as_text_lossy = 3 };

std::vector<Ref> cut(Bytes in) {
    std::vector<Ref> pieces;
    while (!in.empty()) {
        auto control = static_cast<unsigned char>(in[0]);
        in.remove_prefix(1);
        std::size_t length = control >> 2;
        if (length >= 56 && !in.empty()) {
            length = 56 + ((length - 56) << 8 | static_cast<unsigned char>(in[0]));
            in.remove_prefix(1);
        }
        Bytes payload = in.substr(0, length);
        in.remove_prefix(payload.size());
        Ref obj;
        switch (control & 3) {
        case as_text:
            obj = text_of(payload);  // malformed UTF-8 stays bytes
            break;
        case as_number: {
            // Written as its decimal text; at most 8 bytes, far from the limit on the
            // digits that str() of an int gives.
            std::uint64_t n = 0;
            for (unsigned char c : payload.substr(0, 8)) {
                n = n << 8 | c;
            }
            obj = checked(PyLong_FromUnsignedLongLong(n));
            break;
        }
        case as_text_lossy:
            // Where the bytes are malformed, text with lone surrogates, which has no UTF-8.
            obj = checked(PyUnicode_DecodeUTF8(payload.data(), std::ssize(payload), "surrogateescape"));
            break;
        }
        pieces.push_back(obj ? std::move(obj) : bytes_of(payload));
    }
    return pieces;
}

// False for text that has no UTF-8 form (lone surrogates).
bool encodable(PyObject* obj) {
    if (!PyUnicode_Check(obj) || PyUnicode_AsUTF8AndSize(obj, nullptr) != nullptr) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        fail("encoding failed other than by lone surrogates");
    }
    PyErr_Clear();
    return false;
}

// The bytes that the writers must store for bytes, encodable text or a number.
std::string payload_of(PyObject* obj) {
    if (PyBytes_CheckExact(obj)) {
        return {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    }
    Ref text = checked(PyObject_Str(obj));
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) {
        fail("text without UTF-8 in the harness");
    }
    return {data, static_cast<std::size_t>(size)};
}

// Runs a writer with the module's io, then with the stand-in, expecting the same.
void check_writer(const char* what, PyObject* fn, PyObject* arg, const Expected& want) {
    check_call(what, fn, want, arg);
    if (PyObject_SetAttrString(zav_module.module.get(), "io", zav_module.stand_in.get()) < 0) {
        fail("cannot bind the stand-in io");
    }
    check_call(what, fn, want, arg);
    if (PyObject_SetAttrString(zav_module.module.get(), "io", zav_module.io.get()) < 0) {
        fail("cannot restore io");
    }
}

Expected unencodable() { return {Ref(), PyExc_UnicodeEncodeError, nullptr}; }

void write_dict(const std::vector<Ref>& pieces) {
    Ref d = checked(PyDict_New());
    for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
        if (PyDict_SetItem(d.get(), pieces[i].get(), pieces[i + 1].get()) < 0) {
            fail("dict store failed in the harness");
        }
    }
    // Judged on what the dict holds: a later pair may have replaced a value.
    bool all_encodable = true;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(d.get(), &pos, &key, &value)) {
        all_encodable = all_encodable && encodable(key) && encodable(value);
    }
    if (!all_encodable) {
        check_writer("_serialize_dict", zav_module.serialize_dict.get(), d.get(), unencodable());
        return;
    }
    // The pairs in the dict's order; what reads back: each key's text, with the value
    // of the last pair of equal text (1, "1" and b"1" give the same) in the place of
    // the first.
    std::string record;
    Ref written = checked(PyDict_New());
    bool keys_decode = true;
    pos = 0;
    while (PyDict_Next(d.get(), &pos, &key, &value)) {
        std::string k = payload_of(key);
        std::string v = payload_of(value);
        record += write_varnum(k.size()) + write_varnum(v.size()) + k + v;
        Ref text = text_of(k);
        keys_decode = keys_decode && text;
        if (text && PyDict_SetItem(written.get(), text.get(), bytes_of(v).get()) < 0) {
            fail("dict store failed in the harness");
        }
    }
    Ref expected_record = bytes_of(record);
    check_writer("_serialize_dict", zav_module.serialize_dict.get(), d.get(), {Ref::borrow(expected_record.get())});
    Expected back = keys_decode ? Expected{std::move(written)} : undecodable();
    check_call("_deserialize_dict of a written record", zav_module.deserialize_dict.get(), back,
               expected_record.get(), Py_False);
}

void write_list(const std::vector<Ref>& pieces) {
    Ref items = checked(PyList_New(0));
    Ref written = checked(PyList_New(0));
    std::string record;
    bool all_encodable = true;
    for (const Ref& obj : pieces) {
        if (PyList_Append(items.get(), obj.get()) < 0) {
            fail("list append failed in the harness");
        }
        if (!encodable(obj.get())) {
            all_encodable = false;
            continue;
        }
        std::string payload = payload_of(obj.get());
        record += write_varnum(payload.size()) + payload;
        if (PyList_Append(written.get(), bytes_of(payload).get()) < 0) {
            fail("list append failed in the harness");
        }
    }
    Ref as_tuple = checked(PyList_AsTuple(items.get()));
    Expected want = all_encodable ? Expected{bytes_of(record)} : unencodable();
    check_writer("_serialize_list", zav_module.serialize_list.get(), items.get(), want);
    check_call("_serialize_list of a tuple", zav_module.serialize_list.get(), want, as_tuple.get());
    if (all_encodable) {
        check_call("_deserialize_list of a written record", zav_module.deserialize_list.get(),
                   {std::move(written)}, want.result.get(), Py_False);
    }
}

// ---------------------------------------------------------------------------
// Start-up

void import_module() {
    Module& m = zav_module;
    m.module = zav::fuzz::import_serializer();
    m.io = attribute(m.module.get(), "io");
    m.serialize_dict = attribute(m.module.get(), "_serialize_dict");
    m.deserialize_dict = attribute(m.module.get(), "_deserialize_dict");
    m.serialize_list = attribute(m.module.get(), "_serialize_list");
    m.deserialize_list = attribute(m.module.get(), "_deserialize_list");

    Ref globals = checked(PyDict_New());
    Ref done = checked(PyRun_String(
        "import io, types\n"
        "class Stream(io.BytesIO):\n"
        "    pass\n"
        "stand_in = types.SimpleNamespace(BytesIO=Stream)\n",
        Py_file_input, globals.get(), globals.get()));
    PyObject* stand_in = nullptr;
    if (PyDict_GetItemStringRef(globals.get(), "stand_in", &stand_in) <= 0) {
        fail("no stand-in io");
    }
    m.stand_in = Ref::steal(stand_in);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zav::fuzz::start_interpreter();
    import_module();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes input(reinterpret_cast<const char*>(data), size);
    read_input(input);
    std::vector<Ref> pieces = cut(input);
    write_dict(pieces);
    write_list(pieces);
    if (PyErr_Occurred()) {
        fail("exception left pending");
    }
    return 0;
}
