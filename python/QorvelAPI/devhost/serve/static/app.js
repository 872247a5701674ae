// The page of `qorvel-plugin serve`: block cards, runs, extension pages and the viewer.
//
// Extension pages run in a frame of this page and reach it as `parent.qorvel`:
//   parent.qorvel.setVariableValue(variableID, value)
// sets the value of a custom variable of the block whose page is open (or, with no page open,
// of the first block that has such a variable); the next run of that block, or of a preset flow
// that places it, uses the value. It returns true when a variable took the value.

import { SceneViewer } from "./viewer.js";
import { control, useTypes } from "./controls.js";
import { FlowEditor } from "./editor.js";
import { element } from "./dom.js";

const $ = (id) => document.getElementById(id);
const state = { plugin: null, cards: [], activeCustom: null, viewer: null, events: 0, running: false, ended: null };
window.qorvelPage = state;

function show(value) {
    return value === null || value === undefined ? "" : typeof value === "string" ? value : JSON.stringify(value);
}

async function api(path, body) {
    const response = await fetch(path, body === undefined ? {} : {
        method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
    const data = await response.json().catch(() => ({}));
    return { status: response.status, data };
}

// -- the catalogue --------------------------------------------------------------------------------

// The members of a group, or the columns of a list, as a table of their own.
function members(variable) {
    if (!Array.isArray(variable.variables)) return null;
    return element("table", { class: "members" },
        element("thead", {}, element("tr", {}, ...[variable.type === "_list" ? "Column" : "Member", "Type", "Default",
            "Allowed values"].map((t) => element("th", {}, t)))),
        element("tbody", {}, ...variable.variables.map((m) => element("tr", {},
            element("td", {}, m.name || m.id), element("td", {}, m.type), element("td", {}, show(m.value)),
            element("td", {}, show(m.allowedValues))))));
}

function variableTable(variables, card, where) {
    const rows = variables.map((variable) => element("tr", { "data-variable": variable.id },
        element("td", {}, element("b", {}, variable.name || variable.id), element("div", { class: "meta" }, variable.id)),
        element("td", {}, variable.type),
        element("td", {}, show(variable.value)),
        element("td", {}, show(variable.allowedValues)),
        element("td", {}, variable.description || "", members(variable),
            variable.required ? element("div", { class: "meta" }, "required") : null,
            variable.disabled ? element("div", { class: "meta" }, "disabled") : null),
        element("td", { class: "control" }, where ? control(variable, card.values[where][variable.id], (value) => card.set(where, variable.id, value),
            () => card.openCustom(variable)) : null)));
    return element("table", { class: where || "outputs" },
        element("thead", {}, element("tr", {}, ...["Variable", "Type", "Default", "Allowed values", "Description",
            where ? "Value" : ""].map((t) => element("th", {}, t)))),
        element("tbody", {}, ...rows));
}

class BlockCard {
    constructor(block) {
        this.block = block;
        this.values = { variables: {}, inputs: {} };
        this.edited = { variables: new Set(), inputs: new Set() };
        this.group = block.selectedInputGroup;
        for (const v of block.variables) this.values.variables[v.id] = structuredClone(v.value);
        this.resetInputs();
        this.restore();
        this.node = element("article", { class: "card", id: `block-${block.id}`, "data-block": block.id });
        this.render();
    }

    // The values typed into a card (custom variables set on pages included) survive a reload of
    // the page, until "Reset values".
    get storageKey() { return `qorvel-values:${this.block.id}`; }

    restore() {
        let saved = null;
        try { saved = JSON.parse(localStorage.getItem(this.storageKey) || "null"); } catch { saved = null; }
        if (!saved || typeof saved !== "object") return;
        if (saved.inputGroup && this.groupOf(saved.inputGroup)) { this.group = saved.inputGroup; this.resetInputs(); }
        for (const where of ["variables", "inputs"]) {
            for (const [id, value] of Object.entries(saved[where] || {})) {
                if (id in this.values[where]) { this.values[where][id] = value; this.edited[where].add(id); }
            }
        }
    }

    save() {
        try { localStorage.setItem(this.storageKey, JSON.stringify(this.request())); } catch { /* storage full or off */ }
    }

    resetValues() {
        localStorage.removeItem(this.storageKey);
        this.values.variables = {};
        this.edited.variables = new Set();
        for (const v of this.block.variables) this.values.variables[v.id] = structuredClone(v.value);
        this.group = this.block.selectedInputGroup;
        this.resetInputs();
        this.render();
        this.check();
    }

    groupOf(id) { return this.block.inputs.find((g) => g.id === id); }

    resetInputs() {
        this.values.inputs = {};
        this.edited.inputs = new Set();
        const group = this.groupOf(this.group);
        for (const v of group ? group.variables : []) this.values.inputs[v.id] = structuredClone(v.value);
    }

    set(where, id, value) {
        this.values[where][id] = value;
        this.edited[where].add(id);
        this.save();
        this.check();
    }

    editedValues(where) {
        return Object.fromEntries([...this.edited[where]].map((id) => [id, this.values[where][id]]));
    }

    request() {
        return { block: this.block.id, variables: this.editedValues("variables"), inputs: this.editedValues("inputs"),
                 inputGroup: this.group };
    }

    async check() {
        const { data } = await api("/api/check", this.request());
        this.showMessages(data.problems || [data.error]);
        return data.problems || [];
    }

    showMessages(messages) {
        const list = this.node.querySelector(".messages");
        list.replaceChildren(...messages.filter(Boolean).map((m) => element("li", {}, m)));
    }

    openCustom(variable) {
        state.activeCustom = { card: this, variableID: variable.id };
        openPage(variable.customPage.url, `${this.block.name}: ${variable.name}`);
    }

    takeCustom(variableID, value) {
        const variable = this.block.variables.find((v) => v.id === variableID && v.isCustom);
        if (!variable) return false;
        this.set("variables", variableID, value);
        this.render();
        return true;
    }

    async run() {
        const problems = await this.check();
        if (problems.length) return;
        const { status, data } = await api("/api/run", this.request());
        if (status !== 202) this.showMessages([data.error]);
    }

    render() {
        const b = this.block;
        const groups = b.inputs.map((group) => element("section", { class: "input-group", "data-group": group.id },
            element("h4", {}, `Inputs: ${group.name || group.id}`,
                b.inputs.length > 1 ? element("input", { type: "radio", name: `group-${b.id}`, value: group.id,
                    ...(group.id === this.group ? { checked: "" } : {}),
                    onchange: () => { this.group = group.id; this.resetInputs(); this.save(); this.render(); } }) : null),
            variableTable(group.variables, this, group.id === this.group ? "inputs" : null)));
        const runnable = !["config", "ghost"].includes(b.type);
        this.node.replaceChildren(...[
            element("h3", {}, b.name, element("span", { class: "kind" }, b.type)),
            element("div", { class: "id" }, b.id),
            element("p", {}, b.description),
            b.externalURL ? element("a", { href: b.externalURL, target: "_blank", rel: "noopener" }, "Documentation") : null,
            b.variables.length ? element("h4", {}, "Variables") : null,
            b.variables.length ? variableTable(b.variables, this, "variables") : null,
            ...groups,
            b.outputs.length ? element("h4", {}, "Outputs") : null,
            b.outputs.length ? variableTable(b.outputs, this, null) : null,
            element("ul", { class: "messages" }),
            runnable ? element("div", { class: "actions" },
                element("button", { class: "run", onclick: () => this.run() }, "Run block"),
                element("button", { class: "reset", onclick: () => this.resetValues() }, "Reset values")) : null,
        ].filter(Boolean));
    }
}

function openPage(url, title) {
    $("page-title").textContent = title;
    $("page-frame").src = url;
    $("page-dialog").show();
}

window.qorvel = {
    setVariableValue(variableID, value) {
        const json = JSON.parse(JSON.stringify(value)); // the values must be JSON serialisable
        const active = state.activeCustom;
        if (active && active.variableID === variableID && active.card.takeCustom(variableID, json)) return true;
        return state.cards.some((card) => card.takeCustom(variableID, json));
    },
};

function renderPlugin(doc) {
    const plugin = doc.plugin;
    $("title").textContent = plugin ? `${plugin.name} ${plugin.version} (${plugin.id})` : "Plugin did not load";
    document.title = plugin ? `${plugin.name} — qorvel-plugin serve` : "qorvel-plugin serve";
    $("queue").textContent = doc.queue ? `jobs: ${doc.queue}` : "";
    $("problems").replaceChildren(...doc.problems.map((p) => element("li", { class: p.level },
        `${p.level}: ${p.message}`, p.pluginTraceback ? element("pre", {}, p.pluginTraceback) : null)));
    $("extensions").replaceChildren(...doc.pages.filter((p) => !p.hidden).map((p) =>
        element("a", { href: p.url, onclick: (e) => { e.preventDefault(); state.activeCustom = null; openPage(p.url, p.name); } }, p.name)));
    $("flows").replaceChildren(...doc.flows.map((flow) => element("div", { class: "card flow", "data-flow": flow.name },
        element("b", {}, flow.name), " ", element("span", { class: "meta" }, show(flow.savedID)), " ",
        element("button", { class: "run", onclick: () => runFlow(flow.name) }, "Run flow"),
        element("ul", { class: "messages" }))));
    state.cards = doc.blocks.map((block) => new BlockCard(block));
    $("blocks").replaceChildren(...state.cards.map((card) => card.node));
}

async function runFlow(name) {
    const values = {};
    for (const card of state.cards) {
        const request = card.request();
        if (Object.keys(request.variables).length || Object.keys(request.inputs).length) {
            values[card.block.id] = { variables: request.variables, inputs: request.inputs };
        }
    }
    const { status, data } = await api("/api/run", { flow: name, values });
    if (status !== 202) {
        const node = document.querySelector(`[data-flow="${CSS.escape(name)}"] .messages`);
        node.replaceChildren(element("li", {}, data.error));
    }
}

// -- the run --------------------------------------------------------------------------------------

function resultNode(placedID) {
    let node = document.querySelector(`#run [data-placed="${placedID}"]`);
    if (!node) {
        node = element("div", { class: "result", "data-placed": String(placedID) });
        $("run").append(node);
    }
    return node;
}

// Characters of a job's live output that the run pane keeps (its last ones).
const FOLLOWED_SHOWN = 64 * 1024;

function text(label, value) {
    return value && String(value).trim() ? element("div", {}, element("b", {}, label), element("pre", {}, value)) : null;
}

const handlers = {
    run(data) {
        state.running = true;
        state.ended = null;
        $("run-status").textContent = `${data.kind} "${data.name}" running`;
        $("run").replaceChildren(element("div", { class: "meta" }, `folder ${data.folder}; jobs on the ${data.queue}`));
        state.pendingViewer = [];
        if (state.viewer) state.viewer.restart();
    },
    block(data) {
        const node = resultNode(data.placedID);
        node.className = "result running";
        node.replaceChildren(element("b", {}, `${data.name} (#${data.placedID})`), ` ${data.type}: running`,
            element("div", { class: "progress meta" }));
    },
    progress(data) {
        const node = document.querySelector("#run .result.running .progress");
        if (node) node.textContent = data.text;
    },
    // What the running job writes, as it is read; the block's result takes its place when it ends.
    followed(data) {
        const node = resultNode(data.placedID);
        let pane = node.querySelector(`pre.followed[data-stream="${data.stream}"]`);
        if (!pane) {
            pane = element("pre", { class: "followed", "data-stream": data.stream });
            node.append(element("b", {}, data.stream === "stdout" ? "Job output (live)" : "Job errors (live)"), pane);
        }
        const text = pane.textContent + data.text;
        pane.textContent = text.length > FOLLOWED_SHOWN ? text.slice(-FOLLOWED_SHOWN) : text;
        pane.scrollTop = pane.scrollHeight;
    },
    result(r) {
        const node = resultNode(r.placedID);
        node.className = `result ${r.status}`;
        const outputs = Object.entries(r.outputs || {});
        node.replaceChildren(...[
            element("b", {}, `${r.name} (#${r.placedID})`), ` ${r.type}: ${r.status} in ${r.seconds.toFixed(2)} s`,
            r.error ? element("div", { class: "badge-error" }, r.error) : null,
            ...r.messages.map((m) => element("div", { class: m.level }, `${m.level}: ${m.message}`)),
            r.job ? element("div", { class: "job" }, `job ${r.job.jobID}: ${r.job.status}, ${r.job.seconds.toFixed(1)} s`) : null,
            outputs.length ? element("table", { class: "outputs" }, ...outputs.map(([k, v]) =>
                element("tr", {}, element("th", {}, k), element("td", {}, show(v))))) : null,
            text("Traceback", r.pluginTraceback),
            text("Logs", r.pluginTraceback ? "" : r.blockLogs),
            text("Printed", r.printed),
            r.job ? text("Job output", r.job.stdOut) : null,
            r.job ? text("Job errors", r.job.stdErr) : null,
            r.viewerActions.length ? element("div", { class: "meta" }, `${r.viewerActions.length} viewer action(s)`) : null,
        ].filter(Boolean));
    },
    viewer(entry) {
        if (state.viewer) state.viewer.enqueue(entry);
        else state.pendingViewer.push(entry);
    },
    reload(data) { reloadPlugin(data); },
    end(data) {
        state.running = false;
        state.ended = data;
        $("run-status").textContent = data.ok ? "finished" : "failed";
        if (data.error) $("run").append(element("div", { class: "badge-error" }, data.error));
        if (data.savedTo) $("run").append(element("div", { class: "meta" }, `flow saved to ${data.savedTo}`));
    },
};

function listen() {
    const source = new EventSource("/api/events");
    for (const [kind, handle] of Object.entries(handlers)) {
        source.addEventListener(kind, (event) => {
            state.events += 1;
            const data = JSON.parse(event.data);
            handle(data);
            window.dispatchEvent(new CustomEvent("qorvel-run-event", { detail: { kind, data } }));
        });
    }
}

// -- reloads -------------------------------------------------------------------------------------

// The server loaded the plugin again after a file of it changed: the page takes the new catalogue.
// The cards read the values typed into them back from storage. A replayed reload that the page's
// catalogue already has (its generation) changes nothing.
async function reloadPlugin(data) {
    if (data.generation <= state.plugin.generation) return;
    const { data: doc } = await api("/api/plugin");
    if (doc.generation <= state.plugin.generation) return;
    state.plugin = doc;
    useTypes(doc.types);
    renderPlugin(doc);
    if (state.editor && doc.plugin) state.editor.useCatalogue(doc);
    else if (doc.plugin) startEditor(doc);
    const count = doc.problems.length;
    $("notice").textContent = `plugin reloaded at ${new Date().toLocaleTimeString()}${doc.plugin ? "" : "; it did not load"}` +
        ` (${count} problem${count === 1 ? "" : "s"})`;
    $("notice").hidden = false;
}

async function startViewer(lean) {
    try {
        state.viewer = await SceneViewer.create($("viewer"), $("viewer-errors"), lean);
    } catch (error) {
        $("viewer-errors").append(element("li", {}, `the viewer could not start: ${error.message || error}`));
        return;
    }
    for (const entry of state.pendingViewer.splice(0)) state.viewer.enqueue(entry);
}

// The flow editor takes the place of the block cards; the viewer and the run stay beside it.
function startEditor(doc) {
    state.editor = new FlowEditor($("editor"), doc, { openCustom: (taker, variable, title) => {
        state.activeCustom = { card: taker, variableID: variable.id };
        openPage(variable.customPage.url, title);
    } });
    window.qorvelEditor = state.editor;
    state.editor.refreshList();
    $("view-toggle").addEventListener("click", () => {
        const editing = $("editor").hidden;
        $("editor").hidden = !editing;
        $("catalogue").hidden = editing;
        document.querySelector("main").classList.toggle("editing", editing);
        $("view-toggle").textContent = editing ? "Block cards" : "Flow editor";
        if (editing && !state.editor.doc) state.editor.open(state.editor.emptyFlow());
    });
}

async function main() {
    state.pendingViewer = [];
    const { data } = await api("/api/plugin");
    state.plugin = data;
    useTypes(data.types);
    renderPlugin(data);
    if (data.plugin) startEditor(data);
    const lean = data.lean || new URLSearchParams(location.search).has("lean");
    const viewerReady = startViewer(lean);
    listen(); // runs, and reloads of the plugin (one that did not load may load after a fix)
    await viewerReady;
    state.ready = true;
}

window.SceneViewer = SceneViewer;
main();
