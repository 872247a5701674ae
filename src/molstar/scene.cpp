// The viewer operations of MolstarAPI: the catalogue's entries (catalogue.hpp), each with the
// function that checks its arguments and builds the "data" of its message. Every argument error
// is raised before the channel is reached, so a wrong call is reported as such even when no flow
// is running. A new operation is one entry here, its handler in the viewer page and its stub.
#include "catalogue.hpp"
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

// The argument, or `fallback` (borrowed) when it was not given.
Ref given_or(PyObject* value, PyObject* fallback) { return Ref::borrow(value != nullptr ? value : fallback); }

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

// ---- addMolecule ----------------------------------------------------------------------------

bool build_add_molecule(ModuleState& state, PyObject* const* args, Ref* values) {
    // The viewer side reads the file itself, so the message carries its absolute path, resolved
    // against this process's working directory.
    Ref file_name = Ref::steal(PyObject_CallOneArg(state.path_basename, args[0]));
    if (!file_name) return false;
    Ref abs_path = Ref::steal(PyObject_CallOneArg(state.path_abspath, args[0]));
    if (!abs_path) return false;
    PyObject* label = args[1];
    if (label == nullptr || label == Py_None || PyUnicode_GET_LENGTH(label) == 0) label = file_name.get();
    values[2] = Ref::borrow(label);
    values[0] = std::move(file_name);
    values[1] = std::move(abs_path);
    return true;
}

constexpr Operation add_molecule{
    "MolstarAPI.addMolecule", "addMolecule", "loadMolecule",
    params(Param{"filePath", Accept::Str, true}, Param{"label", Accept::StrOrNone, false, "None"}),
    data_keys("fileName", "molContent", "label"), true,
    "Adds the given Molecule file to Mol*\n\n"
    "Args:\n"
    "    filePath: The path of the molecule file.\n"
    "    label: The label for the molecule. Optional. Defaults to the filename",
    build_add_molecule};

// ---- loadMVJS -------------------------------------------------------------------------------

bool build_load_mvjs(ModuleState& state, PyObject* const* args, Ref* values) {
    values[0] = session_text(state, args[0]);
    values[1] = given_or(args[1], Py_False);
    return static_cast<bool>(values[0]);
}

constexpr Operation load_mvjs{
    "MolstarAPI.loadMVJS", "loadMVJS", "loadMVJS",
    params(Param{"mvjs", Accept::Any, true}, Param{"replaceExisting", Accept::Any, false, "False"}),
    data_keys("session", "replace"), false,
    "Loads a molviewspec session into Mol*\n\n"
    "Args:\n"
    "    mvjs: The state of a scene built with `mvs`, as returned by the scene builder's\n"
    "        get_state(): a dictionary, a text holding a JSON object, or a pydantic model.\n"
    "    replaceExisting: Whether to replace the existing session or not",
    build_load_mvjs};

// ---- focusResidue ---------------------------------------------------------------------------

bool build_focus_residue(ModuleState& state, PyObject* const* args, Ref* values) {
    values[0] = Ref::borrow(args[0]);
    values[1] = given_or(args[1], Py_None);
    values[2] = given_or(args[2], Py_None);
    values[3] = given_or(args[3], state.int_five);
    return true;
}

constexpr Operation focus_residue{
    "MolstarAPI.focusResidue", "focus", "focusResidue",
    params(Param{"residue", Accept::Int, true}, Param{"structureLabel", Accept::StrOrNone, false, "None"},
           Param{"chain", Accept::StrOrNone, false, "None"}, Param{"nearRadius", Accept::Int, false, "5"}),
    data_keys("residue", "structureLabel", "chain", "nearRadius"), true,
    "Focuses on the given residue\n\n"
    "Args:\n"
    "    residue: The sequence number of the residue to focus\n"
    "    structureLabel: The label of the structure to focus\n"
    "    chain: The chain ID of the residue to focus\n"
    "    nearRadius: The radius around the residue to display nearby residues",
    build_focus_residue};

// ---- addSphere ------------------------------------------------------------------------------

bool build_add_sphere(ModuleState& state, PyObject* const* args, Ref* values) {
    Ref x = real_to_float(args[0]);
    if (!x) return false;
    Ref y = real_to_float(args[1]);
    if (!y) return false;
    Ref z = real_to_float(args[2]);
    if (!z) return false;
    Ref radius = real_to_float(args[3]);
    if (!radius) return false;
    Ref opacity = float_or(args[5], state.float_one);
    if (!opacity) return false;
    Ref color = normalise_color(state, args[4]);
    if (!color) return false;
    Ref position = pyutil::make_dict({{state.k_x, x.get()}, {state.k_y, y.get()}, {state.k_z, z.get()}});
    if (!position) return false;
    values[0] = std::move(position);
    values[1] = std::move(radius);
    values[2] = std::move(color);
    values[3] = std::move(opacity);
    return true;
}

constexpr Operation add_sphere{
    "MolstarAPI.addSphere", "addSphere", "addSphere",
    params(Param{"x", Accept::Any, true}, Param{"y", Accept::Any, true}, Param{"z", Accept::Any, true},
           Param{"radius", Accept::Any, true}, Param{"color", Accept::StrOrNone, false, "None"},
           Param{"opacity", Accept::Any, false, "1.0"}),
    data_keys("position", "radius", "color", "opacity"), true,
    "Adds a sphere to the scene.\n\n"
    "Args:\n"
    "    x, y, z: The centre of the sphere, in angstrom.\n"
    "    radius: The radius of the sphere, in angstrom.\n"
    "    color: The colour as an RGB hex string; defaults to \"#0000FF\".\n"
    "    opacity: The opacity, from 0.0 to 1.0.",
    build_add_sphere};

// ---- addBox ---------------------------------------------------------------------------------

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

bool build_add_box(ModuleState& state, PyObject* const* args, Ref* values) {
    Ref line_size = float_or(args[2], state.float_one);
    if (!line_size) return false;
    Ref opacity = float_or(args[4], state.float_one);
    if (!opacity) return false;
    PyObject* center = args[0];
    if (!is_float_triple(center)) {
        PyErr_Format(PyExc_ValueError, "Center must be a 3 dimensional float list of the form [x, y, z]. Got value '%S'",
                     center);
        return false;
    }
    // The coordinates are held: the lists belong to the caller, and code run by an allocation
    // below (a finalizer) may change them. The default sides are a unit cube.
    Ref corner[3] = {pyutil::list_item(center, 0), pyutil::list_item(center, 1), pyutil::list_item(center, 2)};
    Ref sides[3] = {Ref::borrow(state.float_one), Ref::borrow(state.float_one), Ref::borrow(state.float_one)};
    if (PyObject* given = args[1]; given != nullptr) {
        if (!is_float_triple(given)) {
            PyErr_Format(PyExc_ValueError,
                         "Sides must be a 3 dimensional float list of the form [a, b, c]. Got value '%S'", given);
            return false;
        }
        for (Py_ssize_t i = 0; i < 3; ++i) sides[i] = pyutil::list_item(given, i);
    }
    Ref color = normalise_color(state, args[3]);
    if (!color) return false;
    Ref position = box_position(state, corner, sides);
    if (!position) return false;
    values[0] = std::move(position);
    values[1] = std::move(line_size);
    values[2] = Ref::borrow(state.int_five);
    values[3] = std::move(color);
    values[4] = std::move(opacity);
    return true;
}

constexpr Operation add_box{
    "MolstarAPI.addBox", "addBox", "addBox",
    params(Param{"center", Accept::List, true}, Param{"sides", Accept::List, false, "[1.0, 1.0, 1.0]"},
           Param{"lineSize", Accept::Any, false, "1.0"}, Param{"color", Accept::StrOrNone, false, "None"},
           Param{"opacity", Accept::Any, false, "1.0"}),
    data_keys("position", "radiusScale", "radialSegments", "color", "opacity"), true,
    "Adds a box to the scene.\n\n"
    "Args:\n"
    "    center: The centre [x, y, z] of the box (three floats); the box is centred on it.\n"
    "    sides: The side lengths [a, b, c] along the x, y and z axes (three floats).\n"
    "    lineSize: The width of the lines.\n"
    "    color: The colour as an RGB hex string; defaults to \"#0000FF\".\n"
    "    opacity: The opacity, from 0.0 to 1.0.",
    build_add_box};

// ---- setBackgroundColor, setSpin, reset -----------------------------------------------------

bool build_set_background_color(ModuleState& state, PyObject* const* args, Ref* values) {
    values[0] = normalise_color(state, args[0]);
    return static_cast<bool>(values[0]);
}

constexpr Operation set_background_color{
    "MolstarAPI.setBackgroundColor", "setBackgroundColor", "setBackgroundColor",
    params(Param{"color", Accept::Str, true}), data_keys("color"), false,
    "Sets the background color of the scene\n\n"
    "Args:\n"
    "    color: The colour as an RGB hex string.",
    build_set_background_color};

bool build_set_spin(ModuleState& state, PyObject* const* args, Ref* values) {
    values[0] = float_or(args[0], state.float_one);
    return static_cast<bool>(values[0]);
}

constexpr Operation set_spin{
    "MolstarAPI.setSpin", "setSpin", "setSpin", params(Param{"speed", Accept::Any, false, "1.0"}), data_keys("speed"),
    false,
    "Sets the spin of the molecule.\n\n"
    "Args:\n"
    "    speed: The rotation speed; 0 stops the rotation.",
    build_set_spin};

bool build_nothing(ModuleState&, PyObject* const*, Ref*) { return true; }

constexpr Operation reset{"MolstarAPI.reset", "reset", "reset", params(), data_keys(), false, "Resets the visualizer",
                          build_nothing};

// The methods, in the order of the class.
const CatalogueEntry entries[] = {
    entry<add_molecule>(), entry<load_mvjs>(), entry<focus_residue>(), entry<add_sphere>(),
    entry<add_box>(),      entry<set_background_color>(), entry<set_spin>(), entry<reset>(),
};

}  // namespace

std::span<const CatalogueEntry> catalogue() { return entries; }

}  // namespace molstar
