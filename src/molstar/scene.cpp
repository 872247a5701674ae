// Scene operations: each checks its arguments, builds the "data" of one viewer message and hands
// the message to the channel. Every argument error is raised before the channel is reached, so
// a wrong call is reported as such even when no flow is running.
#include "operations.hpp"

#include "../pyutil/args.hpp"
#include "../pyutil/dict.hpp"
#include "../pyutil/numbers.hpp"

namespace molstar {
namespace {

using pyutil::Accept;
using pyutil::Param;
using pyutil::Ref;

// A parameter typed float takes any real number and is sent as a plain float, so the message
// always holds JSON numbers.
using pyutil::real_to_float;

// The argument converted to float, or `fallback` (borrowed) when it was not given.
Ref float_or(PyObject* value, PyObject* fallback) { return value != nullptr ? real_to_float(value) : Ref::borrow(fallback); }

// Colours are RGB hex strings; the viewer needs the leading "#", which authors often leave out.
// No other check is made: whatever follows "#" is the viewer's to interpret.
Ref normalise_color(ModuleState& state, PyObject* color) {
    if (color == nullptr || color == Py_None) return Ref::borrow(state.default_color);
    Py_ssize_t starts = PyUnicode_Tailmatch(color, state.hash_sign, 0, 1, -1);
    if (starts < 0) return {};
    if (starts == 1) return Ref::borrow(color);
    return Ref::steal(PyUnicode_Concat(state.hash_sign, color));
}

// A box corner or side list: exactly three floats (1 is refused where 1.0 is expected; float
// subclasses such as numpy scalars are floats and pass).
bool is_float_triple(PyObject* list) {
    if (PyList_GET_SIZE(list) != 3) return false;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (!PyFloat_Check(PyList_GET_ITEM(list, i))) return false;
    }
    return true;
}

}  // namespace

MOLSTAR_METHOD(add_molecule) {
    static constexpr auto sig = pyutil::signature("MolstarAPI.addMolecule", Param{"filePath", Accept::Str, true},
                                                  Param{"label", Accept::StrOrNone});
    pyutil::Bound<sig.size> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    // The viewer side reads the file itself, so the message carries its absolute path, resolved
    // against this process's working directory.
    Ref file_name = Ref::steal(PyObject_CallOneArg(state.path_basename, bound[0]));
    if (!file_name) return nullptr;
    Ref abs_path = Ref::steal(PyObject_CallOneArg(state.path_abspath, bound[0]));
    if (!abs_path) return nullptr;
    PyObject* label = bound[1];
    if (label == nullptr || label == Py_None || PyUnicode_GET_LENGTH(label) == 0) label = file_name.get();
    Ref data = pyutil::make_dict(
        {{state.k_fileName, file_name.get()}, {state.k_molContent, abs_path.get()}, {state.k_label, label}});
    if (!data) return nullptr;
    return emit_message(state, self, state.t_loadMolecule, state.t_addMolecule, data.get());
}

MOLSTAR_METHOD(focus_residue) {
    static constexpr auto sig = pyutil::signature(
        "MolstarAPI.focusResidue", Param{"residue", Accept::Int, true}, Param{"structureLabel", Accept::StrOrNone},
        Param{"chain", Accept::StrOrNone}, Param{"nearRadius", Accept::Int});
    pyutil::Bound<sig.size> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    Ref data = pyutil::make_dict({{state.k_residue, bound[0]},
                                  {state.k_structureLabel, bound.get_or(1, Py_None)},
                                  {state.k_chain, bound.get_or(2, Py_None)},
                                  {state.k_nearRadius, bound.get_or(3, state.int_five)}});
    if (!data) return nullptr;
    return emit_message(state, self, state.t_focusResidue, state.t_focus, data.get());
}

MOLSTAR_METHOD(add_sphere) {
    static constexpr auto sig = pyutil::signature(
        "MolstarAPI.addSphere", Param{"x", Accept::Any, true}, Param{"y", Accept::Any, true},
        Param{"z", Accept::Any, true}, Param{"radius", Accept::Any, true}, Param{"color", Accept::StrOrNone},
        Param{"opacity", Accept::Any});
    pyutil::Bound<sig.size> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    Ref x = real_to_float(bound[0]);
    if (!x) return nullptr;
    Ref y = real_to_float(bound[1]);
    if (!y) return nullptr;
    Ref z = real_to_float(bound[2]);
    if (!z) return nullptr;
    Ref radius = real_to_float(bound[3]);
    if (!radius) return nullptr;
    Ref opacity = float_or(bound[5], state.float_one);
    if (!opacity) return nullptr;
    Ref color = normalise_color(state, bound[4]);
    if (!color) return nullptr;
    Ref position = pyutil::make_dict({{state.k_x, x.get()}, {state.k_y, y.get()}, {state.k_z, z.get()}});
    if (!position) return nullptr;
    Ref data = pyutil::make_dict({{state.k_position, position.get()},
                                  {state.k_radius, radius.get()},
                                  {state.k_color, color.get()},
                                  {state.k_opacity, opacity.get()}});
    if (!data) return nullptr;
    return emit_message(state, self, state.t_addSphere, state.t_addSphere, data.get());
}

namespace {

// The twelve entries of a box: the corner point and three edge vectors along the axes.
Ref box_position(ModuleState& state, const Ref center[3], const Ref sides[3]) {
    PyObject* zero = state.int_zero;
    return pyutil::make_dict({
        {state.k_x0, center[0].get()}, {state.k_y0, center[1].get()},
        {state.k_z0, center[2].get()}, {state.k_x1, sides[0].get()},
        {state.k_y1, zero},                       {state.k_z1, zero},
        {state.k_x2, zero},                       {state.k_y2, sides[1].get()},
        {state.k_z2, zero},                       {state.k_x3, zero},
        {state.k_y3, zero},                       {state.k_z3, sides[2].get()},
    });
}

}  // namespace

MOLSTAR_METHOD(add_box) {
    static constexpr auto sig = pyutil::signature(
        "MolstarAPI.addBox", Param{"center", Accept::List, true}, Param{"sides", Accept::List},
        Param{"lineSize", Accept::Any}, Param{"color", Accept::StrOrNone}, Param{"opacity", Accept::Any});
    pyutil::Bound<sig.size> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    Ref line_size = float_or(bound[2], state.float_one);
    if (!line_size) return nullptr;
    Ref opacity = float_or(bound[4], state.float_one);
    if (!opacity) return nullptr;
    PyObject* center = bound[0];
    if (!is_float_triple(center)) {
        PyErr_Format(PyExc_ValueError, "Center must be a 3 dimensional float list of the form [x, y, z]. Got value '%S'",
                     center);
        return nullptr;
    }
    // The coordinates are held: the lists belong to the caller, and code run by an allocation
    // below (a finalizer) may change them. The default sides are a unit cube.
    Ref corner[3] = {pyutil::list_item(center, 0), pyutil::list_item(center, 1), pyutil::list_item(center, 2)};
    Ref sides[3] = {Ref::borrow(state.float_one), Ref::borrow(state.float_one), Ref::borrow(state.float_one)};
    if (bound.given(1)) {
        PyObject* given = bound[1];
        if (!is_float_triple(given)) {
            PyErr_Format(PyExc_ValueError,
                         "Sides must be a 3 dimensional float list of the form [a, b, c]. Got value '%S'", given);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < 3; ++i) sides[i] = pyutil::list_item(given, i);
    }
    Ref color = normalise_color(state, bound[3]);
    if (!color) return nullptr;
    Ref position = box_position(state, corner, sides);
    if (!position) return nullptr;
    Ref data = pyutil::make_dict({{state.k_position, position.get()},
                                  {state.k_radiusScale, line_size.get()},
                                  {state.k_radialSegments, state.int_five},
                                  {state.k_color, color.get()},
                                  {state.k_opacity, opacity.get()}});
    if (!data) return nullptr;
    return emit_message(state, self, state.t_addBox, state.t_addBox, data.get());
}

MOLSTAR_METHOD(set_background_color) {
    static constexpr auto sig = pyutil::signature("MolstarAPI.setBackgroundColor", Param{"color", Accept::Str, true});
    pyutil::Bound<sig.size> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    Ref color = normalise_color(state, bound[0]);
    if (!color) return nullptr;
    Ref data = pyutil::make_dict({{state.k_color, color.get()}});
    if (!data) return nullptr;
    return emit_message(state, self, state.t_setBackgroundColor, state.t_setBackgroundColor, data.get());
}

MOLSTAR_METHOD(set_spin) {
    static constexpr auto sig = pyutil::signature("MolstarAPI.setSpin", Param{"speed", Accept::Any});
    pyutil::Bound<sig.size> bound;
    if (!pyutil::parse(sig, args, nargs, kwnames, bound)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    Ref speed = float_or(bound[0], state.float_one);
    if (!speed) return nullptr;
    Ref data = pyutil::make_dict({{state.k_speed, speed.get()}});
    if (!data) return nullptr;
    return emit_message(state, self, state.t_setSpin, state.t_setSpin, data.get());
}

MOLSTAR_METHOD(reset) {
    static_cast<void>(args);  // none are taken; parse_none reports any that were given
    if (!pyutil::parse_none("MolstarAPI.reset", nargs, kwnames)) return nullptr;
    ModuleState& state = *state_of_class(defining_class);
    Ref data = Ref::steal(PyDict_New());
    if (!data) return nullptr;
    return emit_message(state, self, state.t_reset, state.t_reset, data.get());
}

}  // namespace molstar
