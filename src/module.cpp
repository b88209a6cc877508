// The module frame: initialisation, the process-wide constants, the function objects
// with their argument binding, the module-global lookup and the traceback facility.
#include "serializer.h"

#include <frameobject.h>

#include <atomic>
#include <cstdio>
#include <memory>

namespace zav {

State state;

namespace {

constexpr const char* module_name = "zav.serializer";

// The interpreter that first loaded the module; the module refuses all others.
std::int64_t first_interpreter_id = -1;

// ---------------------------------------------------------------------------
// Traceback facility

// Entries name the source file of the routine, relative to the project.
const char* source_name(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

void add_traceback_entry(const char* entry_name, std::source_location where) {
    PyObject* exc = PyErr_GetRaisedException();
    char file[128];
    std::snprintf(file, sizeof file, "src/%s", source_name(where.file_name()));
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(file, entry_name, static_cast<int>(where.line()))));
    if (!code) {
        // The error of the failed call replaces the one we were annotating.
        Py_XDECREF(exc);
        return;
    }
    // Making the frame may run Python code (a lookup in the namespace), so the
    // exception stays aside until the frame exists.
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    state.namespace_, nullptr)));
    if (!frame) {
        PyErr_Clear();  // no entry then, but the exception being reported survives
    }
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace

void add_traceback(const char* routine, std::source_location where) {
    char entry_name[64];
    std::snprintf(entry_name, sizeof entry_name, "%s.%s", module_name, routine);
    add_traceback_entry(entry_name, where);
}

// ---------------------------------------------------------------------------
// Module-global lookup

Ref lookup_global(PyObject* name) {
    PyObject* found = nullptr;
    int r = PyDict_GetItemRef(state.namespace_, name, &found);
    if (r > 0) {
        return Ref::steal(found);
    }
    if (r < 0) {
        PyErr_Clear();  // a failing lookup in the namespace counts as not found
    }
    if (PyObject_GetOptionalAttr(state.builtins, name, &found) < 0) {
        return {};
    }
    if (found == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::steal(found);
}

// ---------------------------------------------------------------------------
// Cached lookups
//
// Whether `io.BytesIO` is the standard class and whether `encode` is our own function
// depend on the module namespace, the builtins' dict and the io module's dict, and on
// the builtins and io being plain modules (whose attributes are their dict's entries).
// A dict watcher moves the generation before any of those dicts changes, under the
// dict's lock on the free-threaded build; an answer is kept with the generation it was
// computed in and holds while that generation is current. Whether a module is plain
// can change without its dict changing (assigning __class__), so that is checked at
// every call. A false answer only sends the caller the full way, so keeping one that is
// out of date is harmless; a true one must never be.

namespace {

bool caching = false;  // false when no dict watcher could be had
int watcher_id = -1;
std::atomic<std::uint64_t> generation{0};

// A change under another name cannot alter our lookups. A key that is not an exact str
// can make a lookup run Python code; events without a key (clear, clone) change anything.
bool concerns_lookups(PyObject* key) {
    if (key == nullptr || !PyUnicode_CheckExact(key)) {
        return true;
    }
    const Names& n = state.names;
    for (PyObject* name : {n.io, n.BytesIO, n.encode}) {
        if (key == name || PyUnicode_Equal(key, name) == 1) {
            return true;
        }
    }
    return false;
}

// Runs before the change. It must not fail, run Python code or release anything.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject* key, PyObject*) {
    if (concerns_lookups(key)) {
        generation.fetch_add(1);
    }
    return 0;
}

// One answer and the generation it was computed in, in one word: generation * 2 + answer.
class KeptAnswer {
public:
    // 1 or 0 as kept for the current generation; -1 when none is.
    int current() const {
        std::uint64_t word = word_.load();
        return word >> 1 == generation.load() ? static_cast<int>(word & 1) : -1;
    }

    // Keeps an answer computed from the dicts as they were in `computed_in`, unless one
    // of them has changed since.
    void keep(std::uint64_t computed_in, bool answer) {
        if (generation.load() == computed_in) {
            word_.store(computed_in << 1 | static_cast<std::uint64_t>(answer));
        }
    }

private:
    std::atomic<std::uint64_t> word_{~std::uint64_t{0}};  // no generation reaches this
};

KeptAnswer stream_answer;
KeptAnswer encode_answer;

// Looks `name` up in a dict whose keys are all exact str, where no comparison runs
// Python code: found holds the value or stays empty. False, with nothing found, when
// the dict holds another key, whose comparison might run Python code.
bool find_plain(PyObject* dict, PyObject* name, Ref& found) {
    CriticalSection guard(dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    PyObject* match = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
        if (key == name || PyUnicode_Equal(key, name) == 1) {
            match = value;
        }
    }
    found = Ref::borrow(match);
    return true;
}

// What lookup_global(name) gives when it runs no Python code and does not fail;
// nothing otherwise (a miss in the builtins either raises or asks their __getattr__).
Ref find_global(PyObject* name) {
    Ref found;
    if (!find_plain(state.namespace_, name, found) || found) {
        return found;
    }
    if (PyModule_CheckExact(state.builtins)) {
        find_plain(PyModule_GetDict(state.builtins), name, found);
    }
    return found;
}

bool compute_standard_stream(bool& keepable) {
    Ref io = find_global(state.names.io);
    // Only the io module bound at import is watched and kept alive by the state.
    keepable = io.get() == state.io_module;
    Ref cls;
    return io && PyModule_CheckExact(io.get()) &&
           find_plain(PyModule_GetDict(io.get()), state.names.BytesIO, cls) &&
           cls.get() == state.standard_bytesio;
}

bool compute_own_encode() {
    return find_global(state.names.encode).get() == state.encode_function;
}

// A module's dict, the same for the module's whole life; none for anything else.
PyObject* dict_of(PyObject* module) {
    return PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
}

// Watches the dicts that the answers depend on; a second initialisation after a failed
// one watches its new namespace and io module with the same watcher.
void watch_lookups() {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_dict_event);
    }
    caching = watcher_id >= 0;
    for (PyObject* dict : {state.namespace_, dict_of(state.builtins), dict_of(state.io_module)}) {
        caching = caching && (dict == nullptr || PyDict_Watch(watcher_id, dict) == 0);
    }
    if (!caching) {
        PyErr_Clear();  // every watcher is taken: each call looks its names up instead
    }
    generation.fetch_add(1);
}

}  // namespace

bool standard_stream_bound() {
    if (!caching) {
        return false;
    }
    int kept = stream_answer.current();
    if (kept == 0 ||
        (kept == 1 && PyModule_CheckExact(state.io_module) && PyModule_CheckExact(state.builtins))) {
        return kept == 1;
    }
    std::uint64_t now = generation.load();
    bool keepable;
    bool answer = compute_standard_stream(keepable);
    if (keepable || !answer) {
        stream_answer.keep(now, answer);
    }
    return answer;
}

bool own_encode_bound() {
    if (!caching) {
        return false;
    }
    int kept = encode_answer.current();
    if (kept == 0 || (kept == 1 && PyModule_CheckExact(state.builtins))) {
        return kept == 1;
    }
    std::uint64_t now = generation.load();
    bool answer = compute_own_encode();
    encode_answer.keep(now, answer);
    return answer;
}

namespace {

// ---------------------------------------------------------------------------
// Function objects

using Body = PyObject* (*)(PyObject* const* args);

struct FunctionSpec {
    const char* name;
    PyObject* Names::* params[2];
    int nparams;
    Body body;
};

constexpr int required_params = 1;

// In the order in which the module binds them.
const FunctionSpec function_specs[] = {
    {"encode", {&Names::obj}, 1, encode_body},
    {"decode", {&Names::obj}, 1, decode_body},
    {"safe_decode", {&Names::obj}, 1, safe_decode_body},
    {"_serialize_dict", {&Names::d}, 1, serialize_dict_body},
    {"_deserialize_dict", {&Names::raw_data, &Names::deserialize}, 2, deserialize_dict_body},
    {"_serialize_list", {&Names::l}, 1, serialize_list_body},
    {"_deserialize_list", {&Names::raw_data, &Names::deserialize}, 2, deserialize_list_body},
};

PyObject* param_name(const FunctionSpec& fs, int i) { return state.names.*fs.params[i]; }

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Ref name;
    Ref qualname;
    Ref module;
    Ref globals;
    Ref defaults;
    Ref code;
    Ref dict;
};

PyTypeObject* function_type = nullptr;

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// The arguments of one call, bound to the parameters in their order.
struct Bound {
    Ref args[2];
    PyObject* raw[2] = {nullptr, nullptr};

    PyObject* const* values() {
        raw[0] = args[0].get();
        raw[1] = args[1].get();
        return raw;
    }
};

void raise_count_error(const FunctionSpec& fs, Py_ssize_t given) {
    const char* how = "exactly";
    Py_ssize_t expected = required_params;
    if (fs.nparams != required_params) {
        how = given < required_params ? "at least" : "at most";
        expected = given < required_params ? required_params : fs.nparams;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fs.name, how, expected, expected == 1 ? "" : "s", given);
}

// The truth of a comparison result, released afterwards; -1 on error.
int truth_of(Ref result) { return result ? is_true(result.get()) : -1; }

constexpr int no_param = -1;
constexpr int match_error = -2;

// The index of the parameter that a keyword name names, no_param or match_error.
int match_param(const FunctionSpec& fs, PyObject* key) {
    for (int i = 0; i < fs.nparams; ++i) {
        if (param_name(fs, i) == key) {
            return i;
        }
    }
    if (PyUnicode_CheckExact(key)) {
        for (int i = 0; i < fs.nparams; ++i) {
            if (PyUnicode_Equal(param_name(fs, i), key) == 1) {
                return i;
            }
        }
        return no_param;
    }
    // A str subclass may define its own equality; ask it as Python's == would.
    for (int i = 0; i < fs.nparams; ++i) {
        int eq = truth_of(Ref::steal(PyObject_RichCompare(param_name(fs, i), key, Py_EQ)));
        if (eq != 0) {
            return eq > 0 ? i : match_error;
        }
    }
    return no_param;
}

// The parameter that a keyword names; -1 with the error raised for a name that is not
// a string or names no parameter.
int keyword_param(const FunctionSpec& fs, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fs.name);
        return -1;
    }
    int i = match_param(fs, key);
    if (i == no_param) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fs.name, key);
    }
    return i < 0 ? -1 : i;
}

bool refuse_multiple_values(const FunctionSpec& fs, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fs.name,
                 key);
    return false;
}

// Binds one keyword; false with an exception set when the keyword is refused.
bool bind_keyword(const FunctionSpec& fs, Bound& bound, Py_ssize_t nargs, PyObject* key,
                  PyObject* value) {
    int i = keyword_param(fs, key);
    if (i < 0) {
        return false;
    }
    if (i < nargs || bound.args[i]) {
        return refuse_multiple_values(fs, key);
    }
    bound.args[i] = Ref::borrow(value);
    return true;
}

bool bind_positional(const FunctionSpec& fs, Bound& bound, PyObject* const* args,
                     Py_ssize_t nargs, bool has_keywords) {
    if (nargs > fs.nparams || (!has_keywords && nargs < required_params)) {
        raise_count_error(fs, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound.args[i] = Ref::borrow(args[i]);
    }
    return true;
}

bool finish_binding(const FunctionSpec& fs, Bound& bound, Py_ssize_t nargs) {
    if (!bound.args[0]) {
        raise_count_error(fs, nargs);
        return false;
    }
    for (int i = required_params; i < fs.nparams; ++i) {
        if (!bound.args[i]) {
            bound.args[i] = Ref::borrow(Py_True);
        }
    }
    return true;
}

bool bind_vector(const FunctionSpec& fs, Bound& bound, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (!bind_positional(fs, bound, args, nargs, nkw > 0)) {
        return false;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(fs, bound, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) {
            return false;
        }
    }
    return finish_binding(fs, bound, nargs);
}

// Looks up the parameters left unbound, in their order; the number of keys found.
Py_ssize_t bind_from_dict(const FunctionSpec& fs, Bound& bound, PyObject* kwargs,
                          Py_ssize_t nkw) {
    Py_ssize_t found = 0;
    for (int i = 0; i < fs.nparams && found < nkw; ++i) {
        if (bound.args[i]) {
            continue;
        }
        PyObject* value = nullptr;
        int r = PyDict_GetItemRef(kwargs, param_name(fs, i), &value);
        if (r < 0) {
            return -1;
        }
        if (r > 0) {
            bound.args[i] = Ref::steal(value);
            ++found;
        }
    }
    return found;
}

// Every key that was not taken names a parameter bound by position or none at all:
// report the first one as the vector binding would.
bool refuse_extra_keyword(const FunctionSpec& fs, PyObject* kwargs, Py_ssize_t nargs) {
    CriticalSection guard(kwargs);
    Py_ssize_t pos = 0;
    PyObject* key;
    while (PyDict_Next(kwargs, &pos, &key, nullptr)) {
        int i = keyword_param(fs, key);
        if (i < 0) {
            return false;
        }
        if (i < nargs) {
            return refuse_multiple_values(fs, key);
        }
    }
    return true;
}

bool bind_dict(const FunctionSpec& fs, Bound& bound, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = PyDict_Size(kwargs);
    if (!bind_positional(fs, bound, &PyTuple_GET_ITEM(args, 0), nargs, true)) {
        return false;
    }
    Py_ssize_t found = bind_from_dict(fs, bound, kwargs, nkw);
    if (found < 0) {
        return false;
    }
    if (found < nkw && !refuse_extra_keyword(fs, kwargs, nargs)) {
        return false;
    }
    return finish_binding(fs, bound, nargs);
}

bool check_argument_types(const FunctionSpec& fs, PyObject* const* args) {
    if (fs.body != serialize_dict_body || args[0] == Py_None || PyDict_CheckExact(args[0])) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "d",
                 PyDict_Type.tp_name, Py_TYPE(args[0])->tp_name);
    return false;
}

PyObject* run_body(const FunctionSpec& fs, PyObject* const* args) {
    if (!check_argument_types(fs, args)) {
        return nullptr;
    }
    PyObject* result = fs.body(args);
    if (result == nullptr) {
        add_traceback(fs.name);
    }
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const FunctionSpec& fs = *as_function(self)->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs >= required_params && nargs <= fs.nparams) {
        // Arguments by position alone, the commonest call, need no binding: the caller
        // keeps them alive for the call, and the default is True.
        PyObject* values[2] = {args[0], nargs > 1 ? args[1] : Py_True};
        return run_body(fs, values);
    }
    Bound bound;
    if (!bind_vector(fs, bound, args, nargs, kwnames)) {
        add_traceback(fs.name);
        return nullptr;
    }
    return run_body(fs, bound.values());
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& fs = *as_function(self)->spec;
    if (kwargs == nullptr || PyDict_Size(kwargs) == 0) {
        return function_vectorcall(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                                   nullptr);
    }
    if (!PyArg_ValidateKeywordArguments(kwargs)) {
        return nullptr;  // "keywords must be strings", before any binding
    }
    Bound bound;
    if (!bind_dict(fs, bound, args, kwargs)) {
        add_traceback(fs.name);
        return nullptr;
    }
    return run_body(fs, bound.values());
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals.get());
    Py_VISIT(f->dict.get());
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    f->globals = Ref();
    f->dict = Ref();
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Function* f = as_function(self);
    std::destroy_at(&f->name);
    std::destroy_at(&f->qualname);
    std::destroy_at(&f->module);
    std::destroy_at(&f->globals);
    std::destroy_at(&f->defaults);
    std::destroy_at(&f->code);
    std::destroy_at(&f->dict);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(Function, defaults), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// inspect.signature() reads these, as it does for Python functions.
PyGetSetDef function_getset[] = {
    {"__doc__", function_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_none, nullptr, nullptr, nullptr},
    {"__annotations__", function_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "zav.serializer.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// A code object whose arguments are the parameters, for introspection only.
Ref make_signature_code(const FunctionSpec& fs) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("serializer", fs.name, 1)));
    if (!code) {
        return {};
    }
    Ref varnames = Ref::steal(PyTuple_New(fs.nparams));
    if (!varnames) {
        return {};
    }
    for (int i = 0; i < fs.nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(param_name(fs, i)));
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref changes = Ref::steal(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", fs.nparams,
                                           "co_nlocals", fs.nparams, "co_varnames",
                                           varnames.get()));
    if (!replace || !no_args || !changes) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

Ref make_function(const FunctionSpec& fs, PyObject* module_name_obj) {
    Ref self = Ref::steal(function_type->tp_alloc(function_type, 0));
    if (!self) {
        return {};
    }
    Function* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = &fs;
    f->name = Ref::steal(PyUnicode_InternFromString(fs.name));
    if (!f->name) {
        return {};  // before the code object, whose making calls into Python
    }
    f->qualname = Ref::borrow(f->name.get());
    f->module = Ref::borrow(module_name_obj);
    f->globals = Ref::borrow(state.namespace_);
    f->defaults = Ref::borrow(fs.nparams > required_params ? state.defaults : Py_None);
    f->code = make_signature_code(fs);
    if (!f->code) {
        return {};
    }
    return self;
}

// ---------------------------------------------------------------------------
// Initialisation

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool text(PyObject*& slot, const char* message) {
    slot = PyUnicode_FromString(message);
    return slot != nullptr;
}

bool make_names() {
    Names& n = state.names;
    return intern(n.io, "io") && intern(n.BytesIO, "BytesIO") && intern(n.write, "write") &&
           intern(n.getvalue, "getvalue") && intern(n.encode, "encode") &&
           intern(n.builtins, "builtins") && intern(n.obj, "obj") && intern(n.d, "d") &&
           intern(n.l, "l") && intern(n.raw_data, "raw_data") &&
           intern(n.deserialize, "deserialize");
}

bool make_texts() {
    Texts& t = state.texts;
    return intern(t.truths[0], "False") && intern(t.truths[1], "True") &&
           text(t.corrupt_key, "corrupt key, refusing to process") &&
           text(t.corrupt_value, "corrupt value, refusing to process") &&
           text(t.corrupt_item, "corrupt array item, refusing to process") &&
           text(t.dict_changed_size, "dictionary changed size during iteration") &&
           text(t.none_not_iterable, "'NoneType' object is not iterable");
}

bool make_varnum_bounds() {
    const int shifts[4] = {35, 42, 49, 56};
    for (int i = 0; i < 4; ++i) {
        state.varnum_bounds[i] = PyLong_FromUnsignedLongLong(1ULL << shifts[i]);
        if (state.varnum_bounds[i] == nullptr) {
            return false;
        }
    }
    return true;
}

// Constants are immutable, so a repeated initialisation after a failed one keeps
// those already made.
bool make_constants() {
    if (state.varnum_bounds[3] != nullptr) {
        return true;
    }
    return make_names() && make_texts() && make_varnum_bounds();
}

bool make_defaults() {
    if (state.defaults == nullptr) {
        state.defaults = PyTuple_Pack(1, Py_True);
    }
    return state.defaults != nullptr;
}

bool make_function_type() {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
    }
    return function_type != nullptr;
}

// The loaded module of that name, else a fresh import of it.
Ref loaded_or_imported(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) {
        return {};
    }
    Ref found = Ref::steal(PyImport_GetModule(key.get()));
    if (found || PyErr_Occurred()) {
        return found;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return {};
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(key.get(), state.namespace_, locals.get(),
                                                       nullptr, 0));
}

bool check_version() {
    int major = (Py_Version >> 24) & 0xFF;
    int minor = (Py_Version >> 16) & 0xFF;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major,
                  minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_module(PyObject* module) {
    Ref key = Ref::steal(PyUnicode_FromString(module_name));
    if (!key) {
        return false;
    }
    return PyDict_SetDefaultRef(PyImport_GetModuleDict(), key.get(), module, nullptr) >= 0;
}

bool bind_io() {
    Ref io = loaded_or_imported("io");
    if (!io || PyDict_SetItem(state.namespace_, state.names.io, io.get()) < 0) {
        return false;
    }
    Py_XSETREF(state.io_module, Py_NewRef(io.get()));
    if (state.standard_bytesio == nullptr) {
        Ref native_io = loaded_or_imported("_io");
        state.standard_bytesio =
            native_io ? PyObject_GetAttr(native_io.get(), state.names.BytesIO) : nullptr;
    }
    return state.standard_bytesio != nullptr;
}

bool bind_functions() {
    Ref module_name_obj = Ref::steal(PyUnicode_InternFromString(module_name));
    if (!module_name_obj || !make_function_type()) {
        return false;
    }
    for (const FunctionSpec& fs : function_specs) {
        Ref fn = make_function(fs, module_name_obj.get());
        if (!fn || PyDict_SetItem(state.namespace_, as_function(fn.get())->name.get(), fn.get()) < 0) {
            return false;
        }
        if (fs.body == encode_body) {
            Py_XSETREF(state.encode_function, Py_NewRef(fn.get()));
        }
    }
    return true;
}

bool bind_test_dict() {
    Ref test = Ref::steal(PyDict_New());
    return test && PyDict_SetItemString(state.namespace_, "__test__", test.get()) == 0;
}

bool bind_builtins(PyObject* module) {
    Ref key = Ref::steal(PyUnicode_InternFromString("builtins"));
    if (!key) {
        return false;
    }
    Ref builtins = Ref::steal(PyImport_GetModule(key.get()));
    if (!builtins) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "builtins is not loaded");
        }
        return false;
    }
    Py_XSETREF(state.builtins, Py_NewRef(builtins.get()));
    return PyObject_SetAttrString(module, "__builtins__", builtins.get()) == 0;
}

int fail_exec(bool constants_made) {
    if (constants_made) {
        add_traceback_entry("init zav.serializer", std::source_location::current());
    }
    Py_CLEAR(state.module);
    return -1;
}

int module_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;  // the second half of a repeated import
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'serializer' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) {
        return fail_exec(false);
    }
#endif
    Py_XSETREF(state.namespace_, Py_NewRef(PyModule_GetDict(module)));
    if (!bind_builtins(module) || !check_version() || !utf8::check_kernels() || !check_dict_entries() ||
        !shape_cache::check() || !make_constants()) {
        return fail_exec(false);
    }
    if (!register_module(module) || !make_defaults() || !bind_io() || !bind_functions() ||
        !bind_test_dict()) {
        return fail_exec(true);
    }
    watch_lookups();
    return 0;
}

// ---------------------------------------------------------------------------
// Creation

// Copies a spec attribute into the module; a spec without it is skipped.
bool copy_spec_attribute(PyObject* spec, const char* from, PyObject* module, const char* to,
                         bool skip_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) {
        return false;
    }
    Ref owned = Ref::steal(value);
    if (!owned || (skip_none && owned.get() == Py_None)) {
        return true;
    }
    return PyObject_SetAttrString(module, to, owned.get()) == 0;
}

bool check_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) {
        return false;
    }
    if (first_interpreter_id == -1) {
        first_interpreter_id = id;
    } else if (id != first_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!check_interpreter()) {
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !copy_spec_attribute(spec, "loader", module.get(), "__loader__", false) ||
        !copy_spec_attribute(spec, "origin", module.get(), "__file__", false) ||
        !copy_spec_attribute(spec, "parent", module.get(), "__package__", false) ||
        !copy_spec_attribute(spec, "submodule_search_locations", module.get(), "__path__",
                             true)) {
        return nullptr;
    }
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "serializer", nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace zav

PyMODINIT_FUNC PyInit_serializer() { return PyModuleDef_Init(&zav::module_def); }
