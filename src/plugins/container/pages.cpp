// Extension pages and their HTTP endpoints: plain records that a plugin script builds and
// registers with Plugin.addPage; the host serves the page's HTML file, mounts the endpoints
// under "/plugins/pages/<pluginID>.<pageID>/<url>" and calls their functions.
#include "../state.hpp"

#include "../../pyutil/construct.hpp"
#include "../../pyutil/gc_fields.hpp"
#include "../../pyutil/members_state.hpp"
#include "../../pyutil/types.hpp"

#include <structmember.h>

#include <cstddef>

namespace plugins {
namespace {

using pyutil::Accept;
using pyutil::Ref;

// Copying and pickling: a custom variable holds its page, and a block copy is a deep copy.
PyObject* record_getstate(PyObject* self, PyObject*) { return pyutil::members_getstate(self).release(); }

PyObject* record_setstate(PyObject* self, PyObject* state) {
    if (!pyutil::members_setstate(self, state)) return nullptr;
    Py_RETURN_NONE;
}

#define QV_RECORD_STATE_METHODS                                                                             \
    {"__getstate__", record_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe attributes, for copying."}, \
    {"__setstate__", record_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nRestores copied attributes."}

// ---------------------------------------------------------------------------------------------
// PluginEndpoint

struct PluginEndpointObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* url;
    PyObject* methods;
    PyObject* function;
};

using EndpointFields = pyutil::GcFields<&PluginEndpointObject::dict, &PluginEndpointObject::url,
                                        &PluginEndpointObject::methods, &PluginEndpointObject::function>;

constexpr auto endpoint_signature = pyutil::signature(
    "PluginEndpoint.__init__", pyutil::Param{"url", Accept::Str, true}, pyutil::Param{"methods", Accept::List, true},
    pyutil::Param{"function", Accept::Any, true});

bool endpoint_init(PyObject* self, const pyutil::Bound<3>& bound) {
    auto* obj = reinterpret_cast<PluginEndpointObject*>(self);
    pyutil::assign_slot(obj->url, bound[0]);
    pyutil::assign_slot(obj->methods, bound[1]);
    pyutil::assign_slot(obj->function, bound[2]);
    return true;
}

PyObject* endpoint_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return pyutil::vectorcall_construct(endpoint_signature, type, args, nargsf, kwnames, endpoint_init);
}

int endpoint_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pyutil::tuple_init(endpoint_signature, self, args, kwargs, endpoint_init);
}

// Instances keep a __dict__ (the host and plugin scripts add attributes).
PyGetSetDef record_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef endpoint_methods[] = {
    QV_RECORD_STATE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef endpoint_members[] = {
    {"url", T_OBJECT_EX, offsetof(PluginEndpointObject, url), 0,
     "The URL of the endpoint, relative to its page (for example \"/my_endpoint\")."},
    {"methods", T_OBJECT_EX, offsetof(PluginEndpointObject, methods), 0,
     "The HTTP methods that the endpoint accepts (such as GET and POST)."},
    {"function", T_OBJECT_EX, offsetof(PluginEndpointObject, function), 0,
     "The function that will be called when the endpoint is accessed."},
    {"__dictoffset__", T_PYSSIZET, offsetof(PluginEndpointObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PluginEndpointObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot endpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>("PluginEndpoint(url, methods, function)\n--\n\n"
                                  "Endpoints for plugin pages.\n\n"
                                  "Create a new PluginEndpoint.\n\n"
                                  ":param url: The URL of the endpoint, for example \"/my_endpoint\".\n"
                                  ":param methods: The HTTP methods that the endpoint accepts.\n"
                                  ":param function: The function that will be called when the endpoint "
                                  "is accessed.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(endpoint_tp_init)},
    {Py_tp_methods, endpoint_methods},
    {Py_tp_members, endpoint_members},
    {Py_tp_getset, record_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(EndpointFields::traverse<PluginEndpointObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(EndpointFields::clear<PluginEndpointObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(EndpointFields::dealloc<PluginEndpointObject>)},
    {0, nullptr},
};

PyType_Spec endpoint_spec = {
    "QorvelAPI.plugins.PluginEndpoint",
    sizeof(PluginEndpointObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    endpoint_slots,
};

// ---------------------------------------------------------------------------------------------
// PluginPage

struct PluginPageObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* id;
    PyObject* name;
    PyObject* description;
    PyObject* html;
    PyObject* hidden;
    PyObject* endpoints;
    PyObject* pageInfo;  // _pageInfo: filled by the host, copied by custom variables
};

using PageFields =
    pyutil::GcFields<&PluginPageObject::dict, &PluginPageObject::id, &PluginPageObject::name,
                     &PluginPageObject::description, &PluginPageObject::html, &PluginPageObject::hidden,
                     &PluginPageObject::endpoints, &PluginPageObject::pageInfo>;

constexpr auto page_signature = pyutil::signature(
    "PluginPage.__init__", pyutil::Param{"id", Accept::Str, true}, pyutil::Param{"name", Accept::Str, true},
    pyutil::Param{"description", Accept::Str, true}, pyutil::Param{"html", Accept::Str, true},
    pyutil::Param{"hidden", Accept::Any, false});

bool page_init(PyObject* self, const pyutil::Bound<5>& bound) {
    // Build the containers first so that a failed allocation leaves the object untouched.
    Ref endpoints = Ref::steal(PyList_New(0));
    Ref page_info = Ref::steal(PyDict_New());
    if (!endpoints || !page_info) return false;
    auto* obj = reinterpret_cast<PluginPageObject*>(self);
    pyutil::assign_slot(obj->id, bound[0]);
    pyutil::assign_slot(obj->name, bound[1]);
    pyutil::assign_slot(obj->description, bound[2]);
    pyutil::assign_slot(obj->html, bound[3]);
    pyutil::assign_slot(obj->hidden, bound.get_or(4, Py_False));
    pyutil::assign_slot(obj->endpoints, std::move(endpoints));
    pyutil::assign_slot(obj->pageInfo, std::move(page_info));
    return true;
}

PyObject* page_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return pyutil::vectorcall_construct(page_signature, type, args, nargsf, kwnames, page_init);
}

int page_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pyutil::tuple_init(page_signature, self, args, kwargs, page_init);
}

constexpr auto add_endpoint_signature =
    pyutil::signature("PluginPage.addEndpoint", pyutil::Param{"endpoint", Accept::Any, true});

// Appends as given: the host decides what to do with whatever the plugin script registered.
PyObject* page_add_endpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    pyutil::Bound<1> bound;
    if (!pyutil::parse(add_endpoint_signature, args, nargs, kwnames, bound)) return nullptr;
    Ref endpoints = Ref::steal(PyObject_GetAttrString(self, "endpoints"));
    if (!endpoints) return nullptr;
    if (PyList_CheckExact(endpoints.get())) {
        if (PyList_Append(endpoints.get(), bound[0]) < 0) return nullptr;
    } else {
        Ref result = Ref::steal(PyObject_CallMethod(endpoints.get(), "append", "O", bound[0]));
        if (!result) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef page_methods[] = {
    {"addEndpoint", pyutil::as_method(page_add_endpoint),
     METH_FASTCALL | METH_KEYWORDS,
     "addEndpoint($self, /, endpoint)\n--\n\n"
     "Add an endpoint to the page.\n\n"
     "Define endpoints that the plugin can access from the defined pages.\n"
     "The endpoint URL should be defined as a string, for example: \"/my_endpoint\".\n"
     "The endpoint will be served at \"/plugins/pages/<pluginID>.<pageID>/my_endpoint\".\n"
     "Therefore, remember to perform any GET or POST request to that endpoint.\n"
     "You can use 'window.location' in JS to get the current URL.\n"
     "Note: pluginID and pageID are always lowercase."},
    QV_RECORD_STATE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef page_members[] = {
    {"id", T_OBJECT_EX, offsetof(PluginPageObject, id), 0, "The ID of the page."},
    {"name", T_OBJECT_EX, offsetof(PluginPageObject, name), 0, "The name of the page."},
    {"description", T_OBJECT_EX, offsetof(PluginPageObject, description), 0, "A description of the page."},
    {"html", T_OBJECT_EX, offsetof(PluginPageObject, html), 0,
     "The name of the HTML file (i.e. \"my_page.html\").\n"
     "The html file must be located in the \"Pages\" folder of the plugin."},
    {"hidden", T_OBJECT_EX, offsetof(PluginPageObject, hidden), 0,
     "Whether the page should be hidden from the extension menu (default: False)."},
    {"endpoints", T_OBJECT_EX, offsetof(PluginPageObject, endpoints), 0, "The endpoints of the page."},
    {"_pageInfo", T_OBJECT_EX, offsetof(PluginPageObject, pageInfo), 0,
     "Information about the page, filled in by the host."},
    {"__dictoffset__", T_PYSSIZET, offsetof(PluginPageObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PluginPageObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot page_slots[] = {
    {Py_tp_doc, const_cast<char*>("PluginPage(id, name, description, html, hidden=False)\n--\n\n"
                                  "Class that defines a page that can be accessed from the extension menu.\n\n"
                                  "Create a new PluginPage.\n\n"
                                  ":param id: The ID of the page.\n"
                                  ":param name: The name of the page.\n"
                                  ":param description: A description of the page.\n"
                                  ":param html: The name of the HTML file (i.e. \"my_page.html\"). "
                                  "The html file must be located in the \"Pages\" folder of the plugin.\n"
                                  ":param hidden: Whether the page should be hidden from the extension "
                                  "menu (default: False).")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(page_tp_init)},
    {Py_tp_methods, page_methods},
    {Py_tp_members, page_members},
    {Py_tp_getset, record_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(PageFields::traverse<PluginPageObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(PageFields::clear<PluginPageObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(PageFields::dealloc<PluginPageObject>)},
    {0, nullptr},
};

PyType_Spec page_spec = {
    "QorvelAPI.plugins.PluginPage",
    sizeof(PluginPageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    page_slots,
};

}  // namespace

bool register_pages(PyObject* module, ModuleState& state) {
    state.PluginPage = pyutil::add_type(module, &page_spec);
    if (state.PluginPage == nullptr) return false;
    pyutil::set_type_vectorcall(state.PluginPage, page_vectorcall);
    state.PluginEndpoint = pyutil::add_type(module, &endpoint_spec);
    if (state.PluginEndpoint == nullptr) return false;
    pyutil::set_type_vectorcall(state.PluginEndpoint, endpoint_vectorcall);
    return true;
}

}  // namespace plugins
