// str() of naive datetimes, dates and times (src/date_texts.h).
#include "date_texts.h"

#include <datetime.h>

namespace zav::dates {
namespace {

char* put_digits(char* out, int value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + count;
}

// YYYY-MM-DD
char* put_date(char* out, PyObject* value) {
    out = put_digits(out, PyDateTime_GET_YEAR(value), 4);
    *out++ = '-';
    out = put_digits(out, PyDateTime_GET_MONTH(value), 2);
    *out++ = '-';
    return put_digits(out, PyDateTime_GET_DAY(value), 2);
}

// HH:MM:SS, then .ffffff where the microsecond is not 0.
char* put_time(char* out, int hour, int minute, int second, int microsecond) {
    out = put_digits(out, hour, 2);
    *out++ = ':';
    out = put_digits(out, minute, 2);
    *out++ = ':';
    out = put_digits(out, second, 2);
    if (microsecond != 0) {
        *out++ = '.';
        out = put_digits(out, microsecond, 6);
    }
    return out;
}

}  // namespace

std::size_t naive_text(PyObject* value, Form form, char* out) {
    char* end = out;
    switch (form) {
    case form_date:
        end = put_date(out, value);
        break;
    case form_datetime:
        if (_PyDateTime_HAS_TZINFO(value)) {
            return 0;
        }
        end = put_date(out, value);
        *end++ = ' ';
        end = put_time(end, PyDateTime_DATE_GET_HOUR(value), PyDateTime_DATE_GET_MINUTE(value),
                       PyDateTime_DATE_GET_SECOND(value), PyDateTime_DATE_GET_MICROSECOND(value));
        break;
    case form_time:
        if (_PyDateTime_HAS_TZINFO(value)) {
            return 0;
        }
        end = put_time(out, PyDateTime_TIME_GET_HOUR(value), PyDateTime_TIME_GET_MINUTE(value),
                       PyDateTime_TIME_GET_SECOND(value), PyDateTime_TIME_GET_MICROSECOND(value));
        break;
    case form_other:
        return 0;
    }
    return static_cast<std::size_t>(end - out);
}

}  // namespace zav::dates
