// Argument binding and conversion shared by every constructor and method.
//
// An entry point declares its parameter list once, as a Signature, and calls
// parse(): binding (positional, keyword, missing and surplus arguments) and the
// conversion of each bound value run here, so every entry point reports the same
// TypeError and OverflowError texts. Conversions run in parameter order; the first
// failure is raised and the rest are not looked at.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace kelvara::py {

// The first `positional` parameters may be passed by position or by keyword,
// the rest by keyword only; the first `required` parameters have no default.
template <std::size_t N>
struct Signature {
  const char* callable;  // "Class.method()" or "Class.__new__()"
  std::array<const char*, N> params;
  std::size_t required;
  std::size_t positional = N;
};

struct SignatureView {
  const char* callable;
  std::span<const char* const> params;
  std::size_t required;
  std::size_t positional;
};

// Binds vectorcall-style arguments (values of keywords follow the positional ones)
// or a tuple and a dict into `slots`, one per parameter; absent ones stay null.
// Returns false with TypeError set on a binding failure.
bool bind_vector(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots);
bool bind_tuple(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converted argument kinds beyond the plain C scalars.
struct Text {  // str or subclass, its UTF-8 bytes, borrowed for the call
  std::string_view utf8;
};
struct Bytes {  // bytes or subclass, borrowed for the call
  std::span<const std::uint8_t> data;
  PyObject* object = nullptr;  // null while absent
};

// Converters: leave `out` untouched and return false with an error set on failure.
// An absent argument never reaches them; the caller's initial value is its default.
bool convert(PyObject* obj, std::int32_t& out);
bool convert(PyObject* obj, std::uint64_t& out);
bool convert(PyObject* obj, double& out);
bool convert(PyObject* obj, float& out);  // double conversion, narrowed to f32
bool convert(PyObject* obj, Text& out);
bool convert(PyObject* obj, Bytes& out);
bool convert(PyObject* obj, PyObject*& out);  // the object itself, borrowed

// Reads the numbers of `obj`, a sequence or a one-dimensional float32/float64
// buffer, into out[0..], each narrowed to float32 as convert(float&) does, and
// returns how many there were: at least `at_least` and at most out.size(). Else
// nullopt with the error set, its text starting "argument '<param>': ":
// TypeError for a str, a non-sequence or an element that is not a number,
// ValueError for a wrong count. Reads a snapshot, so element conversions that
// change `obj` do not change what is read.
std::optional<std::size_t> read_numbers(PyObject* obj, const char* param, std::span<float> out,
                                        std::size_t at_least);
// The same, keeping double precision (a float32 buffer's elements widened).
std::optional<std::size_t> read_numbers(PyObject* obj, const char* param, std::span<double> out,
                                        std::size_t at_least);

// Reads `obj`, a sequence of rows of exactly `row_length` numbers each (every
// row read as read_numbers reads it) or a two-dimensional C-contiguous float64
// buffer of that many columns, into out row after row, and returns how many
// rows there were: at most out.size() / row_length. Else nullopt with the
// error set: TypeError for a str or a non-sequence, ValueError "argument
// '<param>': expected at most <n> rows, got <k>" (checked before a long
// sequence is copied), and each row's own errors under "<param>[<j>]".
std::optional<std::size_t> read_rows(PyObject* obj, const char* param, std::span<float> out,
                                     std::size_t row_length);
std::optional<std::size_t> read_rows(PyObject* obj, const char* param, std::span<double> out,
                                     std::size_t row_length);

// Replaces a pending exception of exactly TypeError by a TypeError reading
// "argument '<param>': <message>" that carries over the old cause; any other
// pending exception is left as it is.
void prefix_type_error(const char* param);

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target);

template <typename T>
bool convert_param(PyObject* obj, const char* param, T& out) {
  if (obj == nullptr) return true;  // absent: keeps its default
  if (convert(obj, out)) return true;
  prefix_type_error(param);
  return false;
}

template <std::size_t N, std::size_t... I, typename... Out>
bool convert_each(const Signature<N>& sig, PyObject* const* slots, std::index_sequence<I...>, Out&... out) {
  return (convert_param(slots[I], sig.params[I], out) && ...);
}

template <std::size_t N, typename... Out>
  requires(sizeof...(Out) == N)
bool convert_all(const Signature<N>& sig, PyObject* const* slots, Out&... out) {
  return convert_each(sig, slots, std::make_index_sequence<N>{}, out...);
}

template <std::size_t N>
SignatureView view(const Signature<N>& sig) {
  return {sig.callable, sig.params, sig.required, sig.positional};
}

// Fastcall entry points (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N, typename... Out>
bool parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
           Out&... out) {
  std::array<PyObject*, N> slots{};
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N) && sig.positional == N) {
    for (std::size_t i = 0; i < N; ++i) slots[i] = args[i];  // the common exact call
  } else if (!bind_vector(view(sig), args, nargs, kwnames, slots.data())) {
    return false;
  }
  return convert_all(sig, slots.data(), out...);
}

// Constructors (tp_new receives a tuple and a dict).
template <std::size_t N, typename... Out>
bool parse_new(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Out&... out) {
  std::array<PyObject*, N> slots{};
  if (!bind_tuple(view(sig), args, kwargs, slots.data())) return false;
  return convert_all(sig, slots.data(), out...);
}

}  // namespace kelvara::py
