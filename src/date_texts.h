// The text of the datetime module's values as str() gives it, written natively: the
// typed writer's path for a datetime, date or time field, whose own str() goes through
// a format string and takes ten to twenty times as long.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace zav::dates {

// Which of the datetime module's types a field holds.
enum Form : int { form_other, form_datetime, form_date, form_time };

// The most a text written here takes: "9999-12-31 23:59:59.999999".
constexpr std::size_t most_text = 26;

// Writes str(value) at out (room for most_text bytes) for a value exactly of the form's
// type (the caller checked) without a tzinfo; returns its size, or 0 where value has a
// tzinfo, whose utcoffset() str() asks.
std::size_t naive_text(PyObject* value, Form form, char* out);

}  // namespace zav::dates
