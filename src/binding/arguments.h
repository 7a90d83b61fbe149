// Python arguments of the client's methods as plain native values. Every conversion runs with the
// GIL held before a method releases it; a refused value raises at once (the Python error is set
// and the function reports failure), so nothing is sent and the client's lock is never taken.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/duration.h"
#include "tarnwick/sync/parameters.h"
#include "tarnwick/sync/query_packet.h"
#include "tarnwick/sync/table_status.h"

namespace tarnwick::binding::arguments {

// The UTF-8 text of a str argument; TypeError naming `arg` for anything else.
bool str_argument(PyObject* obj, std::string_view arg, std::string& out);
// The UTF-8 text of a str; anything else, or a str without one (a lone surrogate), is a
// TypeError whose text is `prefix` followed by the refused conversion's "TypeName: message".
bool text_or_type_error(PyObject* obj, std::string_view prefix, std::string& out);
// None gives nothing; a str gives its text; anything else is a TypeError naming `arg`.
bool optional_str_argument(PyObject* obj, std::string_view arg, std::optional<std::string>& out);
// Only True and False; TypeError naming `arg` for anything else.
bool bool_argument(PyObject* obj, std::string_view arg, bool& out);
// None or a dict (subclasses accepted); TypeError naming `arg` for anything else.
bool optional_dict_argument(PyObject* obj, std::string_view arg);

// "TypeError: '{type}' object cannot be converted to '{target}'": the displayed form of a refused
// conversion, for messages that embed one.
std::string conversion_error_text(PyObject* obj, std::string_view target);

// The text a parameter or setting value is sent as: str as it is, bool as 1 or 0, integers in
// decimal, other numbers as the shortest positional decimal of their double, anything else as
// str(value). False with the Python error set when str() failed.
bool value_text(PyObject* value, std::string& out);

// A float argument (an int, or anything with a float conversion, is accepted); TypeError naming
// `arg` for anything else.
bool float_argument(PyObject* obj, std::string_view arg, double& out);
// An unsigned 64-bit integer argument: TypeError naming `arg` for a non-integer, OverflowError
// for a negative or too large one.
bool u64_argument(PyObject* obj, std::string_view arg, uint64_t& out);

// Seconds as a Duration of whole nanoseconds (nearest, ties to even). Negative values, NaN,
// infinities and 2^64 s or more are refused with ValueError; the texts name the failure.
bool seconds_to_duration(double seconds, base::Duration& out);

// "host", "host:port" or "[v6]:port". A text whose part after the last colon is not a port
// (one optional '+', decimal digits, at most 65535) is a host as a whole, and `port` stays as it
// was.
void split_address(std::string_view addr, std::string& host, uint16_t& port);

// params: None or a dict of str keys; None values are NULL parameters.
bool py_params_to_query_parameters(PyObject* params, std::vector<sync::QueryParameter>& out);
// settings: None or a dict of str keys; the values through value_text.
bool py_settings_to_map(PyObject* settings, sync::SettingsMap& out);
// Any iterable of 16-byte bytes or UUID texts (hyphens ignored), or None.
bool py_ignored_part_uuids(PyObject* value, std::vector<sync::PartUuid>& out);
// Any iterable of (database, table) tuples of two str.
bool py_tables_to_qualified_names(PyObject* tables, std::vector<sync::QualifiedTableName>& out);

}  // namespace tarnwick::binding::arguments
