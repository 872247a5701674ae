// What the flow editor reads from and writes into a flow document, apart from drawing it.

export async function api(path, body, method = "POST") {
    const response = await fetch(path, body === undefined ? {} : {
        method, headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
    const data = await response.json().catch(() => ({}));
    return { status: response.status, data };
}

export const portKey = (kind, variableID) => `${kind}:${variableID}`;

export function edgeKey(c) {
    return `${c.origin?.placedID}.${c.origin?.variableID}>${c.destination?.placedID}.${c.destination?.variableID}`;
}

// The flow's connections, from its list and from its placements' states, once each (as the host reads them).
export function edgesOf(doc) {
    const found = new Map();
    const all = [...(doc.connections || []), ...doc.blocks.flatMap((b) => b.state?.variableConnections || [])];
    for (const c of all) if (c && c.origin && c.destination && !found.has(edgeKey(c))) found.set(edgeKey(c), c);
    return [...found.values()];
}

export function nextPlacedID(doc) {
    return doc.blocks.reduce((highest, b) => Math.max(highest, b.placedID), 0) + 1;
}

const entryOf = (state, variable) => (state?.variables || []).find((e) => e.id === variable.id);

// A variable's value in a placement: the state's entry, else the declared value.
export function entryValue(state, variable) {
    const entry = entryOf(state, variable);
    if (String(variable.type) !== "group") return entry ? entry.value : variable.value;
    const members = Object.fromEntries(variable.variables.map((m) => [m.id, m.value]));
    for (const m of entry?.variables || []) members[m.id] = m.value;
    return members;
}

export function setEntryValue(state, variable, value) {
    state.variables = state.variables || [];
    let entry = entryOf(state, variable);
    if (!entry) {
        entry = { id: variable.id, value: null, type: String(variable.type) };
        state.variables.push(entry);
    }
    if (String(variable.type) !== "group") {
        entry.value = value;
        return;
    }
    entry.variables = variable.variables.map((m) => {
        const kept = (entry.variables || []).find((e) => e.id === m.id);
        return { ...(kept || { id: m.id, type: String(m.type) }), value: value[m.id] ?? m.value };
    });
}
