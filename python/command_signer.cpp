// CommandSigner: the Python face of the frame signer. Binds and converts the
// arguments, signs a whole joint vector as one frame and raises each refusal
// as it comes; the rules themselves are the edge library's.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "binder.hpp"
#include "classes.hpp"
#include "contract_texts.hpp"
#include "frame_arguments.hpp"
#include "instance.hpp"
#include "kel_violation.hpp"
#include "kelvara/edge/command_signer.hpp"
#include "kelvara/security/secure_wipe.hpp"

namespace kelvara::py {
namespace {

using security::kFrameMaxAxes;

constexpr Signature<6> kNewSignature{
    "CommandSigner.__new__()",
    {"hmac_key", "stream_id", "axes", "max_velocity_rad_s", "rate_limit", "key_id"},
    4,
    1};
constexpr Signature<2> kSignSignature{"CommandSigner.sign()", {"positions", "velocities"}, 2};

// Raises a refusal of the signer: a refusal of the frame as KelViolation with
// the first offending axis (or -1), a value chosen badly as ValueError, a
// failure of the machinery as RuntimeError.
PyObject* raise_signer_refusal(const edge::Refusal& refusal) {
  if (refusal.outcome() == security::Outcome::InvalidArgument) {
    PyErr_SetString(PyExc_ValueError, refusal.message().c_str());
    return nullptr;
  }
  return raise_refusal(refusal.axis(), refusal);
}

PyObject* signer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* hmac_key;
  PyObject* stream_id;
  PyObject* axes;
  PyObject* max_velocity;
  PyObject* rate_limit = nullptr;
  PyObject* key_id = nullptr;
  if (!parse_new(kNewSignature, args, kwargs, hmac_key, stream_id, axes, max_velocity, rate_limit, key_id)) {
    return nullptr;
  }
  edge::SignerConfig config;
  const security::WipedOnExit wiped_key(config.key);
  Bytes key_bytes;
  if (!convert_param(hmac_key, "hmac_key", key_bytes)) return nullptr;
  if (key_bytes.data.size() != config.key.size()) return kKeyLengthError.raise();
  std::uint64_t stream = 0, axis_count = 0, rate = 1000, key = 0;
  if (!convert_ranged(stream_id, "stream_id", 0, UINT32_MAX, stream) ||
      !convert_ranged(axes, "axes", 1, kFrameMaxAxes, axis_count) ||
      !read_axis_limits(max_velocity, "max_velocity_rad_s",
                        std::span<double>(config.max_velocity_rad_s.data(), axis_count)) ||
      (rate_limit != nullptr &&
       !convert_ranged(rate_limit, "rate_limit", 0, edge::kMaxSignerRateLimit, rate)) ||
      (key_id != nullptr && !convert_ranged(key_id, "key_id", 0, UINT8_MAX, key))) {
    return nullptr;
  }
  std::copy_n(key_bytes.data.begin(), config.key.size(), config.key.begin());
  config.key_id = static_cast<std::uint8_t>(key);
  config.stream_id = static_cast<std::uint32_t>(stream);
  config.axes = axis_count;
  config.rate_limit = static_cast<std::uint32_t>(rate);
  if (auto valid = edge::check_signer_config(config); !valid) return raise_signer_refusal(valid.error());
  return new_instance<edge::CommandSigner>(type, config);
}

PyObject* sign(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* positions_object;
  PyObject* velocities_object;
  if (!parse(kSignSignature, args, nargsf, kwnames, positions_object, velocities_object)) return nullptr;
  edge::CommandSigner& signer = record_of<edge::CommandSigner>(self);
  const std::size_t axes = signer.axes();
  std::array<double, kFrameMaxAxes> positions;
  std::array<double, kFrameMaxAxes> velocities;
  if (!read_numbers(positions_object, "positions", std::span<double>(positions.data(), axes), axes) ||
      !read_numbers(velocities_object, "velocities", std::span<double>(velocities.data(), axes), axes)) {
    return nullptr;
  }
  std::array<std::uint8_t, security::kFrameMaxSize> frame;
  const auto signed_size = signer.sign(std::span<const double>(positions.data(), axes),
                                       std::span<const double>(velocities.data(), axes), frame);
  if (!signed_size) return raise_signer_refusal(signed_size.error());
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                   static_cast<Py_ssize_t>(*signed_size));
}

PyMethodDef kMethods[] = {
    {"sign", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sign)), METH_FASTCALL | METH_KEYWORDS,
     "sign($self, positions, velocities)\n--\n\n"
     "Check one position and one velocity per axis and sign them as one command frame; return its bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("CommandSigner(hmac_key, *, stream_id, axes, max_velocity_rad_s, "
                                  "rate_limit=1000, key_id=0)\n--\n\n"
                                  "Sender of command frames: signs a whole joint vector once per tick.")},
    {Py_tp_new, reinterpret_cast<void*>(signer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<edge::CommandSigner>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.CommandSigner",
    sizeof(Instance<edge::CommandSigner>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* command_signer_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
