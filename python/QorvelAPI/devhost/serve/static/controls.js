// An input control for each variable, built from its variable dictionary.
//
// `control(variable, value, onChange, openCustom)` returns the element; `onChange` receives the
// new value as JSON (a number for numeric types, a boolean for switches, a list of the chosen
// options for a multi-choice checkbox, an object for a group, a list of rows for a list). Text
// that does not parse is passed on as text, so that the server's check names the fault. Which
// control a type gets comes from the host's type table (`useTypes`, from /api/plugin).

let TYPES = {};

export function useTypes(types) {
    TYPES = types || {};
}

function controlKind(variable) {
    const kind = (TYPES[String(variable.type)] || {}).control || "json";
    const allowed = Array.isArray(variable.allowedValues);
    if ((kind === "select" || kind === "radio") && !allowed) return "json";
    if (kind === "checkboxes" && !allowed) return "switch"; // a checkbox without options is one switch
    return kind;
}

function node(tag, attributes = {}, ...children) {
    const element = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes)) {
        if (key.startsWith("on")) element.addEventListener(key.slice(2), value);
        else if (value !== undefined && value !== null && value !== false) element.setAttribute(key, value === true ? "" : value);
    }
    element.append(...children.filter((c) => c !== null && c !== undefined));
    return element;
}

function parseNumber(text) {
    if (text.trim() === "") return null;
    const number = Number(text);
    return Number.isNaN(number) ? text : number;
}

function parseJson(text) {
    if (text.trim() === "") return null;
    try { return JSON.parse(text); } catch { return text; }
}

function choice(variable, value, onChange, kind) {
    const allowed = variable.allowedValues;
    if (kind === "radio") {
        return node("span", {}, ...allowed.map((option) => node("label", {},
            node("input", { type: "radio", name: `radio-${variable.id}-${Math.random()}`, checked: option === value,
                            disabled: variable.disabled, onchange: () => onChange(option) }), String(option))));
    }
    const select = node("select", { name: variable.id, disabled: variable.disabled,
                                    onchange: () => onChange(allowed[select.selectedIndex]) },
        ...allowed.map((option) => node("option", { selected: option === value }, String(option))));
    return select;
}

// Some of the allowed values: one box each; the value is the list of the ticked ones, in their order.
function someOf(variable, value, onChange) {
    const allowed = variable.allowedValues;
    const chosen = new Set((Array.isArray(value) ? value : []).map((option) => JSON.stringify(option)));
    const boxes = allowed.map((option) => node("input", {
        type: "checkbox", value: String(option), checked: chosen.has(JSON.stringify(option)), disabled: variable.disabled,
        onchange: () => onChange(allowed.filter((_, index) => boxes[index].checked)) }));
    return node("span", { "data-kind": "checkboxes" },
        ...allowed.map((option, index) => node("label", {}, boxes[index], String(option))));
}

function group(variable, value, onChange, openCustom) {
    const current = { ...(value && typeof value === "object" ? value : {}) };
    for (const member of variable.variables) if (!(member.id in current)) current[member.id] = member.value;
    return node("fieldset", { "data-kind": "group" }, node("legend", {}, variable.name || variable.id),
        ...variable.variables.map((member) => node("label", { "data-member": member.id }, `${member.name || member.id} `,
            control(member, current[member.id], (v) => { current[member.id] = v; onChange({ ...current }); }, openCustom))));
}

function list(variable, value, onChange, openCustom) {
    const rows = Array.isArray(value) ? value.map((row) => ({ ...row })) : [];
    const body = node("tbody");
    const emit = () => onChange(rows.map((row) => ({ ...row })));
    const draw = () => {
        body.replaceChildren(...rows.map((row, index) => node("tr", { "data-row": String(index) },
            ...variable.variables.map((column) => node("td", { "data-column": column.id },
                control(column, row[column.id], (v) => { row[column.id] = v; emit(); }, openCustom))),
            node("td", {}, node("button", { type: "button", class: "remove-row",
                onclick: () => { rows.splice(index, 1); draw(); emit(); } }, "Remove")))));
    };
    draw();
    const add = () => {
        rows.push(Object.fromEntries(variable.variables.map((c) => [c.id, structuredClone(c.value)])));
        draw();
        emit();
    };
    return node("div", { "data-kind": "list" },
        node("table", {}, node("thead", {}, node("tr", {}, ...variable.variables.map((c) => node("th", {}, c.name || c.id)), node("th"))), body),
        node("button", { type: "button", class: "add-row", disabled: variable.disabled, onclick: add }, "Add row"));
}

export function control(variable, value, onChange, openCustom) {
    const kind = controlKind(variable);
    const common = { name: variable.id, disabled: variable.disabled, placeholder: variable.placeholder };
    if (kind === "group") return group(variable, value, onChange, openCustom);
    if (kind === "rows") return list(variable, value, onChange, openCustom);
    if (variable.isCustom) {
        return node("span", { "data-kind": "custom" }, node("code", { class: "custom-value" }, JSON.stringify(value ?? null)), " ",
            node("button", { type: "button", class: "open-page", onclick: () => openCustom(variable) }, "Edit on its page"));
    }
    if (kind === "select" || kind === "radio") return choice(variable, value, onChange, kind);
    if (kind === "checkboxes") return someOf(variable, value, onChange);
    if (kind === "number") {
        const input = node("input", { ...common, type: "text", inputmode: "decimal", value: value ?? "",
                                      oninput: () => onChange(parseNumber(input.value)) });
        return input;
    }
    if (kind === "switch") {
        const input = node("input", { ...common, type: "checkbox", checked: Boolean(value),
                                      onchange: () => onChange(input.checked) });
        return input;
    }
    if (kind === "textarea") {
        const area = node("textarea", { ...common, rows: 3, oninput: () => onChange(area.value) });
        area.value = value ?? "";
        return area;
    }
    if (kind === "text") {
        const input = node("input", { ...common, type: "text", value: value ?? "", oninput: () => onChange(input.value) });
        return input;
    }
    // Ranges, objects, boxes, spheres, lists of one type and "any": the value as JSON.
    const area = node("textarea", { ...common, rows: 2, class: "json", oninput: () => onChange(parseJson(area.value)) });
    area.value = value === undefined || value === null ? "" : JSON.stringify(value);
    return area;
}
